#pragma once

// The system services the program needs, implemented once per platform (platform_win32.cpp,
// platform_posix.cpp). Paths are UTF-8 in the program's own form, in which the backslash is a
// separator; each implementation converts them where the system is called. Names read from a
// directory are single components and are never converted or split.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tunewright::platform {

// The command-line arguments, the program's name first, as UTF-8. On Windows they come from the
// wide command line, with wildcards in file arguments expanded as the C run-time does.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// From here on, an interruption (Ctrl-C, Ctrl-\, a termination request, a closed console or
// terminal) removes the temporary file being written, if any, then ends the program as that
// interruption ends any program. A file-size limit makes a write fail instead of ending the
// program.
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

// What a directory entry is, as the directory tells it: a link is not followed.
enum class EntryKind : uint8_t {
  kDirectory,  // a directory a scan may enter: never a symbolic link or junction
  kFile,       // a regular file
  kLink,       // a symbolic link, or another name that leads elsewhere (not a directory)
  kSpecial,    // a FIFO, socket or device: never opened
  kUnknown,    // the directory did not say; a status call decides
};

struct DirectoryEntry {
  const char* name;  // one component; valid only during the visit
  EntryKind kind;
};

enum class ListOutcome {
  kFinished,  // every entry was visited
  kStopped,   // the visitor returned false
  kFailed,    // the directory could not be read (from the start or part way)
};

using EntryVisitor = bool (*)(void* context, const DirectoryEntry& entry);

enum class DirectoryOpening {
  kOpened,
  kMissing,     // nothing there, or not a directory (for a subdirectory: a link, or gone)
  kUnreadable,  // a directory that cannot be listed
};

// The identity of a file and its state when it was looked at: a replacement only takes the
// place of a file that is still the very same, unchanged.
struct FileIdentity {
  uint64_t volume = 0;
  uint64_t file = 0;     // no-mutate(constant): each identity compared is one the system filled
  int64_t size = -1;     // no-mutate(constant): no size a file has
  int64_t modified = 0;  // in the system's own unit
  // Its metadata or bytes, where the system tells (POSIX ctime). no-mutate(constant): each
  // identity compared is one the system filled
  int64_t changed = 0;
  // The POSIX permission bits and owning group; 0 where the system has none.
  // no-mutate(constant): each identity compared is one the system filled
  uint32_t permissions = 0;
  uint32_t group = 0;  // no-mutate(constant): each identity compared is one the system filled
  // The file has access rules beyond its permission bits (a POSIX ACL), whose group bits then
  // are the rules' mask, not its group's; told when a file is opened for reading, and not part
  // of what makes it the same, unchanged file.
  bool extendedRules = false;
  bool operator==(const FileIdentity& other) const {
    return sameFile(other) && size == other.size && modified == other.modified &&
           changed == other.changed && permissions == other.permissions && group == other.group;
  }
  bool sameFile(const FileIdentity& other) const {
    return volume == other.volume && file == other.file;
  }
};

// The system's own words for the failure of the last call that decided an outcome (strerror,
// FormatMessageW), or "" when no system call failed since clearFailure().
std::string failureReason();
void clearFailure();
// The code of the failure this thread noted last, which another thread notes as its own with
// noteFailure; failures are noted per thread.
int failureCode();
void noteFailure(int code);

// Whether a scan reads its presets ahead on a second thread here (see app/read_ahead.h).
bool readsAhead();

// Starts work(context) on a thread of its own, to which no signal that ends the run is ever
// delivered: the main thread's handler is the one that knows what it was writing.
std::thread startThread(void (*work)(void*), void* context);

class Directory;

// A regular file opened for reading, relative to the directory it was found in.
class InputFile {
 public:
  InputFile() = default;
  ~InputFile();
  InputFile(InputFile&& other) noexcept;
  InputFile& operator=(InputFile&& other) noexcept;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  bool isOpen() const { return handle_ != kNone; }
  // The file as it was opened.
  const FileIdentity& identity() const { return identity_; }

  // Reads up to length bytes from offset on, fewer only at the end of the file; -1 on an error.
  int64_t read(uint64_t offset, unsigned char* buffer, int64_t length) const;
  // Reads at most capacity bytes from the start into buffer and returns how many it read, or -1.
  int32_t readWhole(unsigned char* buffer, int32_t capacity) const;

  void close();

 private:
  friend class Directory;
  friend struct InputFileAccess;
  static constexpr std::intptr_t kNone = -1;  // no-mutate(constant): any value no handle takes
  std::intptr_t handle_ = kNone;
  FileIdentity identity_;
};

// A directory held open. Every file the program reads, makes or replaces for the presets found
// in it is reached relative to this handle, never by a path looked up again, so a directory
// renamed, removed or swapped for a link meanwhile cannot send a read or a write elsewhere.
class Directory {
 public:
  Directory() = default;
  ~Directory();
  Directory(Directory&& other) noexcept;
  Directory& operator=(Directory&& other) noexcept;
  Directory(const Directory&) = delete;
  Directory& operator=(const Directory&) = delete;

  bool isOpen() const { return handle_ != kNone; }

  // A directory named on the command line, to be scanned; a symbolic link to one is followed.
  DirectoryOpening open(const char* path);

  // The directory a file named on the command line lies in (links followed; it need not be
  // listable). Returns the file's name within the path, or nullptr when the directory cannot
  // be opened.
  const char* openParentOf(const char* path);

  // A subdirectory that a scan of parent found: never a link, whatever the name is now.
  DirectoryOpening openSubdirectory(const Directory& parent, const char* name);

  // Visits the entries, "." and ".." included where the system lists them, in the order the
  // file system gives them, until the visitor returns false.
  ListOutcome list(EntryVisitor visit, void* context) const;

  template <typename Visitor>
  ListOutcome list(Visitor& visitor) const {
    return list(
        [](void* context, const DirectoryEntry& entry) {
          return (*static_cast<Visitor*>(context))(entry);
        },
        &visitor);
  }

  // Opens the regular file name for reading. kind is what the listing said of the name
  // (kUnknown for a named file): a name listed as a file is opened only if it still is one, any
  // other is followed if it is a symbolic link. Nothing but a regular file is ever opened: a
  // FIFO, socket or device is refused before it is opened.
  InputFile openFile(const char* name, EntryKind kind) const;

  // Reads at most capacity bytes from the start of the file name, as openFile opens it, into
  // buffer and returns how many it read. Returns -1 when it cannot be opened or read. identity
  // is the file's as it was opened.
  int32_t readFile(const char* name, EntryKind kind, unsigned char* buffer, int32_t capacity,
                   FileIdentity& identity) const;

 private:
  friend class Output;
  friend struct DirectoryAccess;
  static constexpr std::intptr_t kNone = -1;  // no-mutate(constant): any value no handle takes
  std::intptr_t handle_ = kNone;              // a file descriptor, or a HANDLE
  bool syncable_ = false;  // the handle can be flushed (POSIX: opened for reading)
};

// One piece of an output: bytes in memory, or a range of a file open for reading. An output is
// written from a list of them, in order.
struct Piece {
  const unsigned char* bytes = nullptr;  // when file is null
  InputFile* file = nullptr;             // closed by a replacement before its rename
  uint64_t offset = 0;                   // in file
  uint64_t length = 0;

  static Piece ofBytes(const unsigned char* bytes, uint64_t length) {
    return {bytes, nullptr, 0, length};  // no-mutate(constant): bytes have no offset in a file
  }
  static Piece ofFile(InputFile& file, uint64_t offset, uint64_t length) {
    return {nullptr, &file, offset, length};
  }
};

using Pieces = std::span<const Piece>;

// What is at the name an output is to have.
enum class OutputState {
  kNothing,
  kFile,          // a regular file that may be replaced
  kReadOnlyFile,  // a regular file without write permission, for root too: never replaced
  kLink,          // a symbolic link (not followed)
  kNotAFile,      // a directory, FIFO, socket or device: no output goes there
  kNoDirectory,   // a directory named by the output's path is not there (or is a link)
  kNameTooLong,   // the file system refuses the name as too long
  kUnreachable,   // any other failure to look
};

enum class WriteOutcome {
  kWritten,
  kExists,        // create met something at the name; nothing was changed
  kChanged,       // replace found another file, or other contents, than it was told to expect:
                  // nothing was made or changed
  kCannotCreate,  // nothing was created or changed
  kNameTooLong,   // the file system refuses the name; nothing was created
  kWriteFailed,   // nothing was changed and the temporary file was removed (a full disk among
                  // the causes); or, for replace, the rename was made but could not be made
                  // durable
};

// The place one output goes: a directory and a name in it. The bytes go to a temporary file in
// that directory (whose name never ends in a preset extension), which takes the name only once
// it is whole, so the name never shows a partial file. The order of the steps is the same on
// every system (file_sequence.cpp); each system implements the steps (system_calls.h).
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Places the output at relativePath within directory: a name, or directories (from a
  // prefix, in the program's path form) and a name. The directories are opened one by one and
  // never through a link. Returns kNothing when the place is found (the name is not looked
  // up), else kNoDirectory, kNameTooLong or kUnreachable.
  OutputState locate(const Directory& directory, const char* relativePath);

  // Looks at what is at the name. With followLink (the output is the preset itself, as with
  // -o), a symbolic link there is followed to the file it leads to, which becomes the place.
  OutputState examine(bool followLink);

  // Whether the regular file examine found holds exactly the bytes of these pieces.
  bool holds(Pieces pieces);

  // The identity of what examine found.
  const FileIdentity& found() const { return found_; }

  // Whether a file could be made where the output goes, as far as the system tells without
  // making one (for a dry run): the directory takes new files (write permission, a writable
  // file system).
  bool mayMakeFiles() const;

  // Makes a new file at the name; never replaces anything, not even what appeared meanwhile.
  // It is open to no one its source was closed to: its permission bits for others are at most
  // the source's, for its group at most the source's where the group is the source's (none
  // where the source has access rules beyond its bits), its owner's read and write, the umask
  // applying as ever (POSIX); and it gains no access rule from its directory.
  WriteOutcome create(Pieces pieces, const FileIdentity& source);

  // Replaces what examine found (kFile, or a kLink itself) with a complete file that has
  // reached the disk before the rename, and the rename before the call returns; the files the
  // pieces copy from are closed before the rename, as Windows renames nothing over a file held
  // open and the output may be one of them. Nothing is made
  // unless what examine found is the file expected. A file keeps its owner and group (each
  // where the system allows), permission bits, access rules and extended attributes exactly; a
  // link is replaced by a new file made as create makes one for source, and what it named is
  // left alone. Just before the rename, what is at the name must still be expected, unchanged:
  // else kChanged.
  WriteOutcome replace(Pieces pieces, const FileIdentity& expected, const FileIdentity& source);

 private:
  const Directory* directory_ = nullptr;  // where the name is: the given one, or own_
  Directory own_;
  std::string name_;
  OutputState state_ = OutputState::kUnreachable;
  FileIdentity found_;
};

}  // namespace tunewright::platform
