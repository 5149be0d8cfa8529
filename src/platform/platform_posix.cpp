// POSIX implementation of the platform layer: directories held open, and every file of a preset
// reached relative to the directory it was found in.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "platform/posix_file_calls.h"

namespace tunewright::platform {

namespace {

// A path from the command line in the file system's own form: the program's backslash
// separators become slashes. A path longer than the system allows is left empty, so that using
// it fails.
class NativePath {
 public:
  explicit NativePath(const char* path) {
    const std::size_t length = std::strlen(path);
    if (length >= sizeof path_) {
      path_[0] = '\0';
      return;
    }
    for (std::size_t i = 0; i <= length; ++i) {
      path_[i] = path[i] == '\\' ? '/' : path[i];
    }
  }
  const char* get() const { return path_; }
  char* data() { return path_; }
  bool empty() const { return path_[0] == '\0'; }

 private:
  char path_[PATH_MAX];
};

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }
  // Closes now and reports whether the close succeeded; a failed close may mean lost data.
  bool close() { return fileCalls.close(release()) == 0; }
  void reset(int fd) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

int descriptor(std::intptr_t handle) {
  return static_cast<int>(handle);
}

FileIdentity identityOf(const struct stat& status) {
  return {static_cast<uint64_t>(status.st_dev), static_cast<uint64_t>(status.st_ino),
          static_cast<int64_t>(status.st_size),
          int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec,
          static_cast<uint32_t>(status.st_mode & 07777)};
}

bool sameFile(const struct stat& status, const FileIdentity& identity) {
  return static_cast<uint64_t>(status.st_dev) == identity.volume &&
         static_cast<uint64_t>(status.st_ino) == identity.file;
}

EntryKind kindOf(mode_t mode) {
  if (S_ISDIR(mode)) {
    return EntryKind::kDirectory;
  }
  if (S_ISREG(mode)) {
    return EntryKind::kFile;
  }
  return S_ISLNK(mode) ? EntryKind::kLink : EntryKind::kSpecial;
}

EntryKind entryKind(int directory, const dirent& entry) {
#ifdef DT_DIR
  switch (entry.d_type) {
    case DT_DIR:
      return EntryKind::kDirectory;
    case DT_REG:
      return EntryKind::kFile;
    case DT_LNK:
      return EntryKind::kLink;
    case DT_UNKNOWN:
      break;
    default:
      return EntryKind::kSpecial;
  }
#endif
  // Some file systems do not report the entry type in the listing.
  struct stat status;
  if (::fstatat(directory, entry.d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
    return EntryKind::kUnknown;
  }
  return kindOf(status.st_mode);
}

// Opens a directory for listing and flushing; one that may be searched but not read, for
// working in only.
int openDirectoryAt(int at, const char* path, int flags, bool& syncable) {
  int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
  syncable = fd >= 0;
  if (fd < 0 && errno == EACCES) {
    fd = ::openat(at, path, O_PATH | O_DIRECTORY | O_CLOEXEC | flags);
  }
  return fd;
}

bool writeAll(int fd, const unsigned char* data, int32_t length) {
  std::size_t remaining = static_cast<std::size_t>(length);
  while (remaining > 0) {
    const ssize_t written = ::write(fd, data, remaining);
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return false;
    }
    data += written;
    remaining -= static_cast<std::size_t>(written);
  }
  return true;
}

// Reads up to length bytes; fewer only at the end of the file (or on an error).
int32_t readUpTo(int fd, unsigned char* buffer, int32_t length) {
  int32_t total = 0;
  while (total < length) {
    const ssize_t got = ::read(fd, buffer + total, static_cast<std::size_t>(length - total));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    total += static_cast<int32_t>(got);
  }
  return total;
}

// The temporary file being written, for the interruption handler to remove: its directory and
// name are set before the file is made and the mark cleared once it is renamed or removed, so an
// interruption at any moment finds either nothing to do or a name it may unlink.
int pendingDirectory = -1;
char pendingName[64];
volatile std::sig_atomic_t temporaryPending = 0;

void onInterruption(int signalNumber) {
  if (temporaryPending != 0) {
    ::unlinkat(pendingDirectory, pendingName, 0);
  }
  // End as the signal ends any program, so the caller sees it (a shell reports 130 for Ctrl-C).
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

// The name of an open file's entry in /proc, which leads to the very file whatever its names.
struct ProcEntry {
  explicit ProcEntry(int fd) { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
  char path[32];
};

// Gives an unnamed file a name in a directory. Directly where the process may (older kernels
// allow it only with the capability to look up any file), else through its entry in /proc.
int linkUnnamed(int fd, int directory, const char* name) {
  static bool direct = true;
  if (direct) {
    if (::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) {
      return 0;
    }
    if (errno != EPERM && errno != ENOENT && errno != EINVAL) {
      return -1;
    }
    direct = false;
  }
  return ::linkat(AT_FDCWD, ProcEntry(fd).path, directory, name, AT_SYMLINK_FOLLOW);
}

// Moves a named file to a name that must be free: renameat2 where the file system has it, else
// a hard link, which fails in the same case, and the removal of the old name.
int renameWithoutReplacing(int directory, const char* from, const char* to) {
  if (fileCalls.renameNoReplace(directory, from, directory, to) == 0) {
    return 0;
  }
  if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) {
    return -1;
  }
  if (::linkat(directory, from, directory, to, 0) != 0) {
    return -1;
  }
  ::unlinkat(directory, from, 0);
  return 0;
}

// What a failed link or rename to a free name means for the output.
WriteOutcome namingFailure() {
  switch (errno) {
    case EEXIST:
      return WriteOutcome::kExists;
    case ENAMETOOLONG:
      return WriteOutcome::kNameTooLong;
    default:
      return WriteOutcome::kWriteFailed;  // the bytes were whole, the name could not be given
  }
}

// The file an output is written to before it takes its name, made in the output's directory and
// only ever named, renamed or removed there. Unnamed where the file system allows it (nothing of
// it shows before it is whole, and nothing outlives the program if it never is), else named
// ".tunewright-PID-N.tmp", which never ends in a preset extension, so a scan passes over it.
class TemporaryFile {
 public:
  explicit TemporaryFile(int directory) : directory_(directory) {}
  ~TemporaryFile() { discard(); }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool makeUnnamed(mode_t mode) {
#ifdef O_TMPFILE
    file_.reset(::openat(directory_, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
#else
    (void)mode;
#endif
    return file_.valid();
  }

  bool makeNamed(mode_t mode) {
    static unsigned counter = 0;
    static const pid_t processId = ::getpid();
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::snprintf(name_, sizeof name_, ".tunewright-%ld-%u.tmp", static_cast<long>(processId),
                    counter++);
      // The handler sees no name while it changes: the mark is cleared before and set after.
      std::atomic_signal_fence(std::memory_order_seq_cst);
      std::memcpy(pendingName, name_, sizeof name_);
      pendingDirectory = directory_;
      std::atomic_signal_fence(std::memory_order_seq_cst);
      temporaryPending = 1;  // no-mutate(constant): any value but 0 means pending
      file_.reset(
          ::openat(directory_, name_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
      if (file_.valid()) {
        named_ = true;
        return true;
      }
      temporaryPending = 0;
      if (errno != EEXIST) {
        return false;
      }
    }
    return false;
  }

  int fd() const {
    return file_.get();
  }
  bool close() {
    return file_.close();
  }

  // Gives the file the name, which must be free. A close that fails after the name was given
  // takes it away again: nothing was there before it.
  WriteOutcome keepAsNew(const char* name) {
    const int linked = named_ ? renameWithoutReplacing(directory_, name_, name)
                              : linkUnnamed(file_.get(), directory_, name);
    if (linked != 0) {
      return namingFailure();
    }
    placed();
    if (file_.valid() && !close()) {
      ::unlinkat(directory_, name, 0);
      return WriteOutcome::kWriteFailed;
    }
    return WriteOutcome::kWritten;
  }

  // Renames the named file over name.
  bool replace(const char* name) {
    if (fileCalls.rename(directory_, name_, directory_, name) != 0) {
      return false;
    }
    placed();
    return true;
  }

  // Closes the file and removes its name unless it took its place.
  void discard() {
    if (file_.valid()) {
      file_.close();
    }
    if (named_) {
      ::unlinkat(directory_, name_, 0);
      placed();
    }
  }

 private:
  void placed() {
    named_ = false;
    temporaryPending = 0;
  }

  int directory_;
  FileDescriptor file_{-1};  // no-mutate(constant): every negative value means no file
  char name_[sizeof pendingName] = {};
  bool named_ = false;  // a name of its own that is still to be removed
};

// The names of the extended attributes of a file, each ending in a zero, as the system lists
// them, however many there are.
std::string attributeNames(int fd) {
  std::string names;
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size <= 0) {
      return {};
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t listed = ::flistxattr(fd, names.data(), names.size());
    if (listed >= 0) {
      names.resize(static_cast<std::size_t>(listed));
      return names;
    }
    if (errno != ERANGE) {  // grown meanwhile: ask again
      return {};
    }
  }
}

template <typename Visit>
void forEachName(const std::string& names, Visit visit) {
  for (std::size_t at = 0; at < names.size();) {
    const std::size_t end = names.find('\0', at);
    visit(names.c_str() + at);
    at = end == std::string::npos ? names.size() : end + 1;
  }
}

bool listed(const std::string& names, const char* name) {
  bool found = false;
  forEachName(names, [&](const char* each) { found = found || std::strcmp(each, name) == 0; });
  return found;
}

// A replacement gets exactly the replaced file's extended attributes, ACLs among them. First
// what its directory gave it (a default ACL becomes its own) and the original lacks is taken
// away, while it still has no permissions at all; then, once it holds its bytes, every
// attribute of the original is copied, whatever its size. Not every file system has them, so a
// failure here is no failure of the write.
void removeUnlisted(int to, const std::string& wanted) {
  forEachName(attributeNames(to), [&](const char* name) {
    if (!listed(wanted, name)) {
      ::fremovexattr(to, name);
    }
  });
}

void copyListed(int from, int to, const std::string& wanted) {
  std::string value;
  forEachName(wanted, [&](const char* name) {
    for (;;) {
      const ssize_t size = ::fgetxattr(from, name, nullptr, 0);
      if (size < 0) {
        return;
      }
      value.resize(static_cast<std::size_t>(size));
      // A read into no room would tell the size again, not the value: an empty value is empty.
      const ssize_t got = size == 0 ? 0 : ::fgetxattr(from, name, value.data(), value.size());
      if (got >= 0) {
        ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0);
        return;
      }
      if (errno != ERANGE) {  // grown meanwhile: ask again
        return;
      }
    }
  });
}

// Gives the written replacement the original's owner and group (one at a time, so the group
// stays when the owner cannot be set; neither is an error, as for any copy a user makes of
// another's file), then its attributes (a change of owner may drop some) and its permission
// bits last.
bool copyAttributes(int from, const struct stat& status, int to, const std::string& wanted) {
  if (::fchown(to, status.st_uid, static_cast<gid_t>(-1)) != 0) {
  }
  if (::fchown(to, static_cast<uid_t>(-1), status.st_gid) != 0) {
  }
  copyListed(from, to, wanted);
  return ::fchmod(to, status.st_mode & 07777) == 0;
}

// The rename just made, made durable: by flushing the directory, or where it cannot be opened
// for that (it may be searched but not read), the whole file system the file is on.
bool syncRename(int directory, bool syncable, int file) {
  return (syncable && fileCalls.fsync(directory) == 0) || ::syncfs(file) == 0;
}

// The one component of a path that ends it, and the directory part before it.
struct SplitPath {
  std::string_view directory;
  std::string_view name;
};

SplitPath splitLast(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string_view::npos) {
    return {{}, path};
  }
  return {path.substr(0, std::max<std::size_t>(slash, 1)), path.substr(slash + 1)};
}

OutputState lookupFailure() {
  switch (errno) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
      return OutputState::kNoDirectory;
    case ENAMETOOLONG:
      return OutputState::kNameTooLong;
    default:
      return OutputState::kUnreachable;
  }
}

}  // namespace

FileCalls fileCalls = {
    ::fsync,
    ::close,
    ::renameat,
    [](int fromDirectory, const char* from, int toDirectory, const char* to) {
      return ::renameat2(fromDirectory, from, toDirectory, to, RENAME_NOREPLACE);
    },
};

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return {argv, argv + argc};
}

void installInterruptHandlers() {
  struct sigaction action = {};
  action.sa_handler = onInterruption;
  ::sigemptyset(&action.sa_mask);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    ::sigaction(signalNumber, &action, nullptr);
  }
  // A write past a file-size limit then fails like one on a full disk.
  ::signal(SIGXFSZ, SIG_IGN);
}

void writeLine(Stream stream, std::string_view line) {
  std::FILE* file = stream == Stream::kOutput ? stdout : stderr;
  std::fwrite(line.data(), 1, line.size(), file);
  std::fflush(file);
}

bool ownsConsoleWindow() {
  return false;
}

void waitForEnter() {
  for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
  }
}

bool pathExists(const char* path) {
  const NativePath native(path);
  struct stat status;
  return ::lstat(native.get(), &status) == 0;
}

Directory::~Directory() {
  if (isOpen()) {
    ::close(descriptor(handle_));
  }
}

Directory::Directory(Directory&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), syncable_(other.syncable_) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    if (isOpen()) {
      ::close(descriptor(handle_));
    }
    handle_ = std::exchange(other.handle_, kNone);
    syncable_ = other.syncable_;
  }
  return *this;
}

DirectoryOpening Directory::open(const char* path) {
  *this = Directory();
  const NativePath native(path);
  const int fd = ::open(native.get(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    handle_ = fd;
    syncable_ = true;
    return DirectoryOpening::kOpened;
  }
  struct stat status;
  return errno == EACCES && ::stat(native.get(), &status) == 0 && S_ISDIR(status.st_mode)
             ? DirectoryOpening::kUnreadable
             : DirectoryOpening::kMissing;
}

const char* Directory::openParentOf(const char* path) {
  *this = Directory();
  NativePath native(path);
  if (native.empty()) {
    return nullptr;
  }
  const SplitPath split = splitLast(native.get());
  const std::size_t nameStart = static_cast<std::size_t>(split.name.data() - native.get());
  if (split.directory.empty()) {
    native.data()[0] = '.';
    native.data()[1] = '\0';
  } else {
    native.data()[split.directory.size()] = '\0';
  }
  const int fd = openDirectoryAt(AT_FDCWD, native.get(), 0, syncable_);
  if (fd < 0) {
    return nullptr;
  }
  handle_ = fd;
  return path + nameStart;
}

DirectoryOpening Directory::openSubdirectory(const Directory& parent, const char* name) {
  *this = Directory();
  const int at = descriptor(parent.handle_);
  const int fd = ::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd >= 0) {
    handle_ = fd;
    syncable_ = true;
    return DirectoryOpening::kOpened;
  }
  // A link put in its place, or a directory gone, is no longer part of the scan.
  struct stat status;
  return errno != ENOENT && errno != ENOTDIR && errno != ELOOP &&
                 ::fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(status.st_mode)
             ? DirectoryOpening::kUnreadable
             : DirectoryOpening::kMissing;
}

ListOutcome Directory::list(EntryVisitor visit, void* context) const {
  // The listing reads through a copy of the handle, which the stream owns and closes.
  const int copy = isOpen() ? ::fcntl(descriptor(handle_), F_DUPFD_CLOEXEC, 0) : -1;
  DIR* const stream = copy < 0 ? nullptr : ::fdopendir(copy);
  if (stream == nullptr) {
    if (copy >= 0) {
      ::close(copy);
    }
    return ListOutcome::kFailed;
  }
  ::rewinddir(stream);
  ListOutcome outcome = ListOutcome::kFinished;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(stream);
    if (entry == nullptr) {
      outcome = errno == 0 ? ListOutcome::kFinished : ListOutcome::kFailed;
      break;
    }
    if (!visit(context, DirectoryEntry{entry->d_name, entryKind(copy, *entry)})) {
      outcome = ListOutcome::kStopped;
      break;
    }
  }
  ::closedir(stream);
  return outcome;
}

int32_t Directory::readFile(const char* name, EntryKind kind, unsigned char* buffer,
                            int32_t capacity, FileIdentity& identity) const {
  if (!isOpen() || kind == EntryKind::kSpecial || kind == EntryKind::kDirectory) {
    return -1;
  }
  const int at = descriptor(handle_);
  // Non-blocking, so that a FIFO put in the file's place meanwhile opens at once and is then
  // refused by its type. A name the listing called a file is opened at once, not followed if it
  // has become a link since. Any other name (a link, or one the listing did not say) is followed
  // to a place that is looked at before anything there is opened, and only a regular file is
  // then opened, through that very place: a link pointed elsewhere meanwhile opens no device.
  constexpr int kFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  FileDescriptor file(-1);
  struct stat looked;
  if (kind == EntryKind::kFile) {
    file.reset(::openat(at, name, kFlags | O_NOFOLLOW));
  } else {
    const FileDescriptor place(::openat(at, name, O_PATH | O_CLOEXEC));
    if (!place.valid() || ::fstat(place.get(), &looked) != 0 || !S_ISREG(looked.st_mode)) {
      return -1;
    }
    file.reset(::open(ProcEntry(place.get()).path, kFlags));
    if (!file.valid() && errno == ENOENT) {
      file.reset(::openat(at, name, kFlags));  // no /proc: by name again, checked below
    }
  }
  // Only the very file looked at counts.
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      (kind != EntryKind::kFile && !sameFile(status, identityOf(looked)))) {
    return -1;
  }
  identity = identityOf(status);
  // The size from fstat saves the read that would only report the end; a file still growing is
  // read as far as it was, and one that reports no size (as files of /proc do) to its end.
  const int32_t wanted = status.st_size > 0 && status.st_size < capacity
                             ? static_cast<int32_t>(status.st_size)
                             : capacity;
  return readUpTo(file.get(), buffer, wanted);
}

OutputState Output::locate(const Directory& directory, const char* relativePath) {
  directory_ = &directory;
  own_ = Directory();
  state_ = OutputState::kUnreachable;
  // The directories a prefix names, one component at a time, each relative to the one before
  // and never through a link.
  const auto isSeparator = [](char c) { return c == '/' || c == '\\'; };
  std::string_view rest(relativePath);
  for (auto separator = std::find_if(rest.begin(), rest.end(), isSeparator);
       separator != rest.end(); separator = std::find_if(rest.begin(), rest.end(), isSeparator)) {
    const std::string component(rest.begin(), separator);
    rest.remove_prefix(static_cast<std::size_t>(separator - rest.begin()) + 1);
    if (component.empty() || component == ".") {
      continue;
    }
    Directory next;
    const int fd = openDirectoryAt(descriptor(directory_->handle_), component.c_str(), O_NOFOLLOW,
                                   next.syncable_);
    if (fd < 0) {
      return lookupFailure();
    }
    next.handle_ = fd;
    own_ = std::move(next);
    directory_ = &own_;
  }
  name_.assign(rest);
  state_ = OutputState::kNothing;
  return state_;
}

OutputState Output::examine(bool followLink) {
  // Each link leads on from where it is, as the system follows it; a chain ends somewhere.
  for (int links = 0; links < 40; ++links) {
    const int at = descriptor(directory_->handle_);
    struct stat status;
    if (::fstatat(at, name_.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      state_ = errno == ENOENT         ? OutputState::kNothing
               : errno == ENAMETOOLONG ? OutputState::kNameTooLong
                                       : OutputState::kUnreachable;
      return state_;
    }
    found_ = identityOf(status);
    if (S_ISREG(status.st_mode)) {
      // Read-only means read-only, for root too: write permission must be there and granted.
      const bool writable = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
                            ::faccessat(at, name_.c_str(), W_OK, 0) == 0;
      state_ = writable ? OutputState::kFile : OutputState::kReadOnlyFile;
      return state_;
    }
    if (!S_ISLNK(status.st_mode) || !followLink) {
      state_ = S_ISLNK(status.st_mode) ? OutputState::kLink : OutputState::kNotAFile;
      return state_;
    }
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(at, name_.c_str(), target, sizeof target);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof target) {
      break;
    }
    target[length] = '\0';
    const SplitPath split = splitLast(target);
    if (!split.directory.empty()) {
      const std::string directoryPart(split.directory);
      Directory next;
      const int fd = openDirectoryAt(target[0] == '/' ? AT_FDCWD : at, directoryPart.c_str(), 0,
                                     next.syncable_);
      if (fd < 0) {
        break;
      }
      next.handle_ = fd;
      own_ = std::move(next);
      directory_ = &own_;
    }
    name_.assign(split.name);
    if (name_.empty() || name_ == "." || name_ == "..") {
      state_ = OutputState::kNotAFile;
      return state_;
    }
  }
  state_ = OutputState::kUnreachable;
  return state_;
}

bool Output::holds(const unsigned char* data, int32_t length) {
  if (state_ != OutputState::kFile && state_ != OutputState::kReadOnlyFile) {
    return false;
  }
  const FileDescriptor file(::openat(descriptor(directory_->handle_), name_.c_str(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !sameFile(status, found_) ||
      status.st_size != length) {
    return false;
  }
  // Compared a piece at a time, and to its very end: a file that grew meanwhile differs.
  unsigned char piece[16384];  // no-mutate(constant): any size compares the same
  for (int32_t at = 0;;) {
    const int32_t wanted = std::min<int32_t>(static_cast<int32_t>(sizeof piece), length - at + 1);
    const int32_t got = readUpTo(file.get(), piece, wanted);
    if (got == 0) {
      return at == length;
    }
    if (at + got > length || std::memcmp(piece, data + at, static_cast<std::size_t>(got)) != 0) {
      return false;
    }
    at += got;
  }
}

WriteOutcome Output::create(const unsigned char* data, int32_t length, const FileIdentity& source) {
  const int at = descriptor(directory_->handle_);
  // A copy of a file its group or others may not read is not theirs to read either, wherever it
  // was read from (a link may lead out of a folder that others own).
  const mode_t mode = 0600 | (source.permissions & 0066);
  {
    TemporaryFile unnamed(at);
    if (unnamed.makeUnnamed(mode)) {
      if (!writeAll(unnamed.fd(), data, length)) {
        return WriteOutcome::kWriteFailed;
      }
      const WriteOutcome outcome = unnamed.keepAsNew(name_.c_str());
      // Without /proc such a file cannot always be named: the named way then decides.
      if (outcome != WriteOutcome::kWriteFailed || errno != ENOENT ||
          ::access("/proc/self/fd", F_OK) == 0) {
        return outcome;
      }
    }
  }
  TemporaryFile named(at);
  if (!named.makeNamed(mode)) {
    return WriteOutcome::kCannotCreate;
  }
  if (!writeAll(named.fd(), data, length) || !named.close()) {
    return WriteOutcome::kWriteFailed;
  }
  return named.keepAsNew(name_.c_str());
}

WriteOutcome Output::replace(const unsigned char* data, int32_t length,
                             const FileIdentity& expected) {
  if (state_ != OutputState::kFile && state_ != OutputState::kLink) {
    return WriteOutcome::kCannotCreate;
  }
  const int at = descriptor(directory_->handle_);
  const char* name = name_.c_str();
  TemporaryFile temporary(at);
  if (state_ == OutputState::kFile) {
    // The attributes come from the file itself, opened without following a link and checked to
    // be the one found. The temporary is made with no permissions, and given only its owner's
    // until it has the original's, so that nobody can open it through what its directory would
    // give it.
    const FileDescriptor original(
        ::openat(at, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    struct stat status;
    if (!original.valid() || ::fstat(original.get(), &status) != 0 || !sameFile(status, found_)) {
      return original.valid() ? WriteOutcome::kChanged : WriteOutcome::kCannotCreate;
    }
    if (!temporary.makeNamed(0)) {
      return WriteOutcome::kCannotCreate;
    }
    const std::string wanted = attributeNames(original.get());
    removeUnlisted(temporary.fd(), wanted);
    if (::fchmod(temporary.fd(), S_IRUSR | S_IWUSR) != 0 ||
        !writeAll(temporary.fd(), data, length) ||
        !copyAttributes(original.get(), status, temporary.fd(), wanted)) {
      return WriteOutcome::kWriteFailed;
    }
  } else if (!temporary.makeNamed(0666) || !writeAll(temporary.fd(), data, length)) {
    // A link is replaced by a new file, and what it named is left alone.
    return WriteOutcome::kWriteFailed;
  }
  if (fileCalls.fsync(temporary.fd()) != 0) {
    return WriteOutcome::kWriteFailed;
  }
  // A save made meanwhile is not lost: the original must still be the file read, unchanged.
  struct stat now;
  if (::fstatat(at, name, &now, AT_SYMLINK_NOFOLLOW) != 0 || !(identityOf(now) == expected)) {
    return WriteOutcome::kChanged;
  }
  if (!temporary.replace(name)) {
    return WriteOutcome::kWriteFailed;
  }
  // The flushed bytes are on the disk whatever the close says now.
  const bool durable = syncRename(at, directory_->syncable_, temporary.fd());
  temporary.close();
  return durable ? WriteOutcome::kWritten : WriteOutcome::kWriteFailed;
}

}  // namespace tunewright::platform
