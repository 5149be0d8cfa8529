#pragma once

// The file-system operations the program needs, implemented once per platform
// (platform_win32.cpp, platform_posix.cpp). Paths use the program's own form, in which the
// backslash is a separator; on POSIX it is mapped to the slash where the file system is touched.

#include <cstdint>

namespace tunewright::platform {

// True when the path names an existing directory (symbolic links followed).
bool isDirectory(const char* path);

struct DirectoryEntry {
  const char* name;  // without the directory; valid only during the visit
  // A directory the walk may enter. On POSIX a symbolic link to a directory is not one, which
  // also keeps a recursive walk out of link loops.
  bool isDirectory;
};

enum class ListOutcome {
  kNothingListed,  // the directory cannot be read or does not exist
  kFinished,       // every entry was visited
  kStopped,        // the visitor returned false
};

using EntryVisitor = bool (*)(void* context, const DirectoryEntry& entry);

// Visits the entries matching a search pattern of the form directory + "\*", "." and ".."
// included, in the order the file system gives them, until the visitor returns false.
ListOutcome listDirectory(const char* pattern, EntryVisitor visit, void* context);

template <typename Visitor>
ListOutcome listDirectory(const char* pattern, Visitor& visitor) {
  return listDirectory(
      pattern,
      [](void* context, const DirectoryEntry& entry) {
        return (*static_cast<Visitor*>(context))(entry);
      },
      &visitor);
}

// Reads at most capacity bytes from the start of a regular file (symbolic links followed) into
// buffer and returns how many it read; a read error ends the read like the end of the file.
// Returns -1 when the path cannot be opened or is not a regular file; never blocks on a FIFO or
// device.
int32_t readFile(const char* path, unsigned char* buffer, int32_t capacity);

enum class WriteOutcome {
  kWritten,
  kCannotCreate,  // nothing was created or changed
  kWriteFailed,   // nothing was changed; the partial file was removed
};

// Puts exactly the given bytes at path without ever leaving a damaged file there: a new file is
// written in place, an existing regular file is replaced atomically by a complete copy written
// beside it (keeping its permission bits or attributes; a symbolic link has its target
// replaced). Anything
// else at path, or a read-only file, is left alone and reported as kCannotCreate.
WriteOutcome writeFileSafely(const char* path, const unsigned char* data, int32_t length);

}  // namespace tunewright::platform
