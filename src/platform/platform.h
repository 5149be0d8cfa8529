#pragma once

// The system services the program needs, implemented once per platform (platform_win32.cpp,
// platform_posix.cpp). Paths are UTF-8 in the program's own form, in which the backslash is a
// separator; each implementation converts them where the system is called.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tunewright::platform {

// The command-line arguments, the program's name first, as UTF-8. On Windows they come from the
// wide command line, with wildcards in file arguments expanded as the C run-time does.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// From here on, an interruption (Ctrl-C, a termination request, a closed console or terminal)
// removes the temporary file being written, if any, then ends the program as that interruption
// ends any program.
void installInterruptHandlers();

enum class Stream { kOutput, kError };

// Writes one whole line (its newline included) to the stream and flushes it. On Windows a
// console shows it as Unicode text; a redirected stream receives the UTF-8 bytes.
void writeLine(Stream stream, std::string_view line);

// True when the program's console window was made for this program alone (Windows: started by
// a double-click or by dropping files on it), so that it closes as soon as the program ends.
// Always false on POSIX, and whenever a standard stream is redirected.
bool ownsConsoleWindow();

// Waits until the user presses Enter (or standard input ends).
void waitForEnter();

// True when something exists at the path (a symbolic link counts, even a dangling one).
bool pathExists(const char* path);

// True when the path names an existing directory (symbolic links followed).
bool isDirectory(const char* path);

struct DirectoryEntry {
  const char* name;  // without the directory; valid only during the visit
  // A directory the walk may enter. A symbolic link to a directory (or a junction) is not
  // one, which also keeps a recursive walk out of link loops.
  bool isDirectory;
};

enum class ListOutcome {
  kNothingListed,  // the directory cannot be read or does not exist
  kFinished,       // every entry was visited
  kStopped,        // the visitor returned false
};

using EntryVisitor = bool (*)(void* context, const DirectoryEntry& entry);

// Visits the entries of a directory, "." and ".." included where the system lists them, in the
// order the file system gives them, until the visitor returns false.
ListOutcome listDirectory(const char* directory, EntryVisitor visit, void* context);

template <typename Visitor>
ListOutcome listDirectory(const char* directory, Visitor& visitor) {
  return listDirectory(
      directory,
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

enum class WriteMode {
  kCreate,   // never replaces anything: a file that is there already, or appears meanwhile,
             // is reported as kExists
  kReplace,  // an existing regular file is replaced (a symbolic link has its target
             // replaced); with nothing there, a new file is made as with kCreate
};

enum class WriteOutcome {
  kWritten,
  kExists,        // kCreate met something at the path; nothing was changed
  kCannotCreate,  // nothing was created or changed
  kWriteFailed,   // nothing was changed; the temporary file was removed
};

// Puts exactly the given bytes at path, never leaving a partial file under the path's name: the
// bytes go to a temporary file beside it (whose name never ends in a preset extension), which is
// then renamed into place. A replacement reaches the disk before the rename, and the rename
// before the call returns; it keeps the replaced file's owner and group (each where the system
// allows), permission bits and extended attributes. A file without write permission, or
// anything but a regular file at path, is left alone and reported as kCannotCreate.
WriteOutcome writeFileSafely(const char* path, const unsigned char* data, int32_t length,
                             WriteMode mode);

}  // namespace tunewright::platform
