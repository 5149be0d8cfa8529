#pragma once

// The steps each system implements under the one sequence of reading and writing files
// (file_sequence.cpp), behind one table so that a test can run the sequence over steps of its
// own and make any of them fail.

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace tunewright::platform {

using Handle = std::intptr_t;  // a file descriptor, or a HANDLE
inline constexpr Handle kNoHandle = -1;

// What a name in a directory is, looked at without following a link: kNothing, kFile,
// kReadOnlyFile, kLink, kNotAFile, kNameTooLong or kUnreachable, and the identity of what is
// there.
struct Look {
  OutputState state = OutputState::kUnreachable;
  FileIdentity identity;
};

// A file being written beside an output, until it takes the output's name or is discarded.
struct Temporary {
  Handle file = kNoHandle;
  // Its own name in the directory; empty while it has none.
  // no-mutate(constant): any room that holds the name works the same
  char name[64] = {};
  // A new file's place on its volume, which no other file has while it exists.
  // no-mutate(constant): set where the file is made, before anything compares them
  uint64_t volume = 0;
  uint64_t inode = 0;
};

// A directory opened by a step: its handle and whether it can be flushed.
struct OpenedDirectory {
  Handle handle = kNoHandle;
  bool syncable = false;
};

struct SystemCalls {
  // Whether name can be one entry of a directory on this system: kNothing, or kNameTooLong, or
  // kUnreachable for a name the system would read as something else (a Windows stream, say).
  OutputState (*checkName)(const std::string& name);
  // Opens the directory named component (one name) within at, never through a link. Returns
  // kNothing when it opened, else kNoDirectory (not there, not a directory, a link),
  // kNameTooLong or kUnreachable.
  OutputState (*openDirectory)(Handle at, const std::string& component, OpenedDirectory& opened);
  Look (*look)(Handle directory, const std::string& name);
  // The place the symbolic link name within directory leads to: the directory it names, opened,
  // and the name there. False when it cannot be followed.
  bool (*followLink)(Handle directory, const std::string& name, OpenedDirectory& to,
                     std::string& toName);
  // Opens the regular file name within directory for reading, a symbolic link followed only with
  // followLink, and never anything but a regular file, not even for a moment; identity is the
  // file's as opened. The name is one component, as a directory listed it or the user gave it.
  Handle (*openToRead)(Handle directory, const char* name, bool followLink, FileIdentity& identity);
  // The identity of an open file as it is now.
  bool (*identify)(Handle file, FileIdentity& identity);
  // Reads up to length bytes from offset on; fewer only at the end of the file, -1 on an error.
  int64_t (*read)(Handle file, uint64_t offset, unsigned char* buffer, int64_t length);
  void (*close)(Handle file);
  // Whether the system would let new files be made in directory.
  bool (*mayMakeFiles)(Handle directory);
  // Makes a temporary file in directory that nobody else can open, to take the place of
  // original (open for reading), or, without one, to be a new file no more open than source;
  // when replacing, it is to be renamed over what is at the name. kWritten, or kCannotCreate,
  // or kWriteFailed where the disk is full.
  WriteOutcome (*makeTemporary)(Handle directory, Handle original, const FileIdentity& source,
                                bool replacing, Temporary& temporary);
  bool (*write)(Temporary& temporary, const Piece& piece);
  // Gives the written temporary what the original has beside its bytes: owner and group where
  // the system allows, permission bits, access rules, attributes.
  bool (*carryMetadata)(Handle original, Temporary& temporary);
  bool (*flush)(Temporary& temporary);
  // Gives the temporary the name, which must be free: kWritten, kExists, kNameTooLong or
  // kWriteFailed. Nothing of the temporary is left but the file at the name.
  WriteOutcome (*keepAsNew)(Temporary& temporary, Handle directory, const std::string& name);
  // Renames the temporary over name.
  bool (*replace)(Temporary& temporary, Handle directory, const std::string& name);
  // Makes the rename just made survive a crash.
  bool (*makeDurable)(Temporary& temporary, Handle directory, bool syncable);
  // Closes the temporary and removes it, unless it took a name.
  void (*discard)(Temporary& temporary, Handle directory);
};

extern SystemCalls systemCalls;

// What the sequence sees of the classes it works with.
struct DirectoryAccess {
  static Handle handle(const Directory& directory) { return directory.handle_; }
  static bool syncable(const Directory& directory) { return directory.syncable_; }
  static void adopt(Directory& directory, const OpenedDirectory& opened) {
    directory = Directory();
    directory.handle_ = opened.handle;
    directory.syncable_ = opened.syncable;
  }
  // Gives up the handle without closing it.
  static Handle release(Directory& directory) {
    const Handle handle = directory.handle_;
    directory.handle_ = Directory::kNone;
    return handle;
  }
};

struct InputFileAccess {
  static Handle handle(const InputFile& file) { return file.handle_; }
  static void adopt(InputFile& file, Handle handle, const FileIdentity& identity) {
    file = InputFile();
    file.handle_ = handle;
    file.identity_ = identity;
  }
};

}  // namespace tunewright::platform
