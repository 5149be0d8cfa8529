// POSIX stand-in for the Win32 file functions the program was designed around.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/platform.h"
#include "platform/posix_file_calls.h"

namespace tunewright::platform {

namespace {

// A path in the file system's own form: the program's backslash separators become slashes.
// A path longer than the system allows is left empty, so that using it fails.
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
  // Closes now and reports whether the close succeeded; a failed close may mean lost data.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return fileCalls.close(fd) == 0;
  }
  void reset(int fd) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

class DirectoryHandle {
 public:
  explicit DirectoryHandle(const char* path) : dir_(::opendir(path)) {}
  ~DirectoryHandle() {
    if (dir_ != nullptr) {
      ::closedir(dir_);
    }
  }
  DirectoryHandle(const DirectoryHandle&) = delete;
  DirectoryHandle& operator=(const DirectoryHandle&) = delete;

  DIR* get() const { return dir_; }

 private:
  DIR* dir_;
};

bool entryIsDirectory(DIR* dir, const dirent* entry) {
#ifdef DT_DIR
  if (entry->d_type != DT_UNKNOWN) {
    return entry->d_type == DT_DIR;
  }
#endif
  // Some file systems do not report the entry type in the listing.
  struct stat status;
  return ::fstatat(::dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISDIR(status.st_mode);
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

// The temporary file being written, for the interruption handler to remove. The name is set
// before the file is made and cleared once it is renamed or removed, so an interruption at any
// moment finds either nothing to do or a name it may unlink.
char interruptedTemporary[PATH_MAX];
volatile std::sig_atomic_t temporaryPending = 0;

void onInterruption(int signalNumber) {
  if (temporaryPending != 0) {
    ::unlink(interruptedTemporary);
  }
  // End as the signal ends any program, so the caller sees it (a shell reports 130 for Ctrl-C).
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

// A temporary file beside target, made exclusively. Its name never ends in a preset extension,
// so a directory scan passes over it, and it says what it is: ".tunewright-PID-N.tmp".
class TemporaryFile {
 public:
  TemporaryFile(const char* target, mode_t mode) {
    const char* slash = std::strrchr(target, '/');
    const int directoryLength = slash == nullptr ? 0 : static_cast<int>(slash - target + 1);
    static unsigned counter = 0;
    static const pid_t processId = ::getpid();
    for (int attempt = 0; attempt < 100 && !file_.valid(); ++attempt) {
      const int length =
          std::snprintf(path_, sizeof path_, "%.*s.tunewright-%ld-%u.tmp", directoryLength, target,
                        static_cast<long>(processId), counter++);
      if (length < 0 || static_cast<std::size_t>(length) >= sizeof path_) {
        return;
      }
      std::memcpy(interruptedTemporary, path_, static_cast<std::size_t>(length) + 1);
      temporaryPending = 1;  // no-mutate(constant): any value but 0 means pending
      file_.reset(::open(path_, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, mode));
      if (!file_.valid()) {
        temporaryPending = 0;
        if (errno != EEXIST) {
          return;
        }
      }
    }
  }
  // Removes the file unless it was renamed into place.
  ~TemporaryFile() {
    if (!placed_ && temporaryPending != 0) {
      if (file_.valid()) {
        file_.close();
      }
      ::unlink(path_);
      temporaryPending = 0;
    }
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool valid() const { return file_.valid(); }
  int fd() const { return file_.get(); }
  const char* path() const { return path_; }
  bool close() { return file_.close(); }
  void placed() {
    placed_ = true;
    temporaryPending = 0;
  }

 private:
  char path_[PATH_MAX] = {};
  FileDescriptor file_{-1};  // no-mutate(constant): every negative value means no file
  bool placed_ = false;
};

// The directory a path lies in, "." for a bare name.
void directoryOf(const char* path, char (&directory)[PATH_MAX]) {
  const char* slash = std::strrchr(path, '/');
  if (slash == nullptr) {
    std::strcpy(directory, ".");
    return;
  }
  const auto length = std::max<std::size_t>(static_cast<std::size_t>(slash - path), 1);
  std::memcpy(directory, path, length);  // "/x" lives in "/"
  directory[length] = '\0';
}

// Makes a rename in the directory of path durable.
bool syncDirectoryOf(const char* path) {
  char directory[PATH_MAX];
  directoryOf(path, directory);
  FileDescriptor dir(::open(directory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return dir.valid() && fileCalls.fsync(dir.get()) == 0 && dir.close();
}

// Whether a failed link or rename met something at the path: a file is someone's, anything else
// a path no file can take.
bool metAFile(const char* path) {
  struct stat status;
  return errno == EEXIST && ::lstat(path, &status) == 0 &&
         (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode));
}

// Moves the temporary file to path unless something is there: renameat2 where the file system
// has it, else a hard link, which fails in the same case, and the removal of the old name.
bool renameWithoutReplacing(const char* from, const char* to, bool& existed) {
  existed = false;
  if (fileCalls.renameNoReplace(from, to) == 0) {
    return true;
  }
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
    if (::link(from, to) == 0) {
      ::unlink(from);
      return true;
    }
  }
  existed = metAFile(to);
  return false;
}

// The replacement takes over the replaced file's extended attributes (ACLs among them). Not
// every file system has them, so a failure here is no failure of the write.
void copyExtendedAttributes(const char* from, int to) {
  char names[4096];
  const ssize_t listed = ::listxattr(from, names, sizeof names);
  for (ssize_t at = 0; at < listed; at += static_cast<ssize_t>(std::strlen(names + at)) + 1) {
    char value[4096];
    const ssize_t size = ::getxattr(from, names + at, value, sizeof value);
    if (size >= 0) {
      ::fsetxattr(to, names + at, value, static_cast<std::size_t>(size), 0);
    }
  }
}

// Writes, and for a replacement flushes, the whole content; false if any of it failed.
bool fillTemporary(TemporaryFile& temporary, const unsigned char* data, int32_t length,
                   bool durable) {
  return writeAll(temporary.fd(), data, length) &&
         (!durable || fileCalls.fsync(temporary.fd()) == 0) && temporary.close();
}

// The directory last worked in, kept open: a bulk run reads the presets of one directory and
// writes their outputs there one after another, and each file is then opened, made and named by
// one path component instead of a walk along its whole path each time. A directory that has
// gone since (removed, or another one put under its path) is opened afresh.
class RecentDirectory {
 public:
  // Calls openAt(directory, name) with the directory of path, opened, and the name path has in
  // it; once more with the directory opened afresh when it is no longer there. Sets directory to
  // the one used; -1, with no call, when it cannot be opened.
  template <typename OpenAt>
  int openIn(const char* path, int& directory, const char*& name, OpenAt openAt) {
    directory = open(path, name);
    int fd = directory < 0 ? -1 : openAt(directory, name);
    if (fd < 0 && errno == ENOENT && directory >= 0) {
      directory_.reset(-1);
      directory = open(path, name);
      fd = directory < 0 ? -1 : openAt(directory, name);
    }
    return fd;
  }

  void forget() { directory_.reset(-1); }

 private:
  int open(const char* path, const char*& name) {
    const char* slash = std::strrchr(path, '/');
    name = slash == nullptr ? path : slash + 1;
    const auto length = static_cast<std::size_t>(name - path);
    if (!directory_.valid() || length != length_ || std::memcmp(path, path_, length) != 0) {
      char directory[PATH_MAX];
      directoryOf(path, directory);
      directory_.reset(::open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC));
      std::memcpy(path_, path, length);
      length_ = length;
    }
    return directory_.get();
  }

 private:
  FileDescriptor directory_{-1};
  char path_[PATH_MAX] = {};
  std::size_t length_ = 0;
};

RecentDirectory recentDirectory;

// Opens a file through the directory last worked in.
int openInRecentDirectory(const char* path, int flags) {
  int directory = -1;
  const char* name = nullptr;
  const int fd = recentDirectory.openIn(path, directory, name, [flags](int at, const char* file) {
    return ::openat(at, file, flags);
  });
  return directory < 0 ? ::open(path, flags) : fd;
}

// Gives an unnamed file its name in a directory. Directly where the process may (it takes the
// capability to look up any file), else through its entry in /proc, which every user may link.
bool linkUnnamed(int fd, int directory, const char* name) {
  static bool direct = true;
  if (direct) {
    if (::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) {
      return true;
    }
    if (errno != EPERM && errno != ENOENT && errno != EINVAL) {
      return false;
    }
    direct = false;
  }
  char self[32];
  std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  return ::linkat(AT_FDCWD, self, directory, name, AT_SYMLINK_FOLLOW) == 0;
}

// Writes a new file through one without a name in the same directory, named only once it is
// complete: nothing of it shows before, nothing of it outlives the program if it never is, and
// a link never replaces what is there. Nothing where the file system cannot make such files.
std::optional<WriteOutcome> createUnnamed(const char* path, const unsigned char* data,
                                          int32_t length) {
#ifdef O_TMPFILE
  int directory = -1;
  const char* name = nullptr;
  FileDescriptor file(recentDirectory.openIn(path, directory, name, [](int at, const char*) {
    return ::openat(at, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
  }));
  if (!file.valid()) {
    return std::nullopt;  // no such files here (or no room): the named way decides
  }
  if (!writeAll(file.get(), data, length)) {
    return WriteOutcome::kWriteFailed;
  }
  if (!linkUnnamed(file.get(), directory, name)) {
    if (errno == ENOENT && ::access("/proc/self/fd", F_OK) != 0) {
      return std::nullopt;  // no /proc to name the file by
    }
    return metAFile(path) ? WriteOutcome::kExists : WriteOutcome::kCannotCreate;
  }
  // A failed close may mean lost data: the name just made is taken away again, since nothing
  // was there before it.
  if (!file.close()) {
    ::unlinkat(directory, name, 0);
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
#else
  (void)path, (void)data, (void)length;
  return std::nullopt;
#endif
}

WriteOutcome createFile(const char* path, const unsigned char* data, int32_t length) {
  if (const std::optional<WriteOutcome> outcome = createUnnamed(path, data, length)) {
    return *outcome;
  }
  TemporaryFile temporary(path, 0666);
  if (!temporary.valid()) {
    return WriteOutcome::kCannotCreate;
  }
  if (!fillTemporary(temporary, data, length, false)) {
    return WriteOutcome::kWriteFailed;
  }
  bool existed = false;
  if (!renameWithoutReplacing(temporary.path(), path, existed)) {
    return existed ? WriteOutcome::kExists : WriteOutcome::kCannotCreate;
  }
  temporary.placed();
  return WriteOutcome::kWritten;
}

WriteOutcome replaceFile(const char* path, const struct stat& status, const unsigned char* data,
                         int32_t length) {
  // Read-only means read-only, for root too: write permission must be there and granted.
  if ((status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 || ::access(path, W_OK) != 0) {
    return WriteOutcome::kCannotCreate;
  }
  TemporaryFile temporary(path, 0600);
  if (!temporary.valid()) {
    return WriteOutcome::kCannotCreate;
  }
  // Owner and group one at a time, so the group stays when the owner cannot be set; neither is
  // an error, as for any copy a user makes of another's file.
  if (::fchown(temporary.fd(), status.st_uid, static_cast<gid_t>(-1)) != 0) {
  }
  if (::fchown(temporary.fd(), static_cast<uid_t>(-1), status.st_gid) != 0) {
  }
  if (::fchmod(temporary.fd(), status.st_mode & 07777) != 0) {
    return WriteOutcome::kWriteFailed;
  }
  copyExtendedAttributes(path, temporary.fd());
  if (!fillTemporary(temporary, data, length, true) ||
      fileCalls.rename(temporary.path(), path) != 0) {
    return WriteOutcome::kWriteFailed;
  }
  temporary.placed();
  return syncDirectoryOf(path) ? WriteOutcome::kWritten : WriteOutcome::kWriteFailed;
}

}  // namespace

FileCalls fileCalls = {
    ::fsync,
    ::close,
    ::rename,
    [](const char* from, const char* to) {
      return ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
    },
};

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return {argv, argv + argc};
}

void installInterruptHandlers() {
  struct sigaction action = {};
  action.sa_handler = onInterruption;
  ::sigemptyset(&action.sa_mask);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
    ::sigaction(signalNumber, &action, nullptr);
  }
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

bool isDirectory(const char* path) {
  const NativePath native(path);
  struct stat status;
  return ::stat(native.get(), &status) == 0 && S_ISDIR(status.st_mode);
}

ListOutcome listDirectory(const char* directory, EntryVisitor visit, void* context) {
  const NativePath native(directory);
  recentDirectory.forget();  // a scan starts from the directory as it is now
  DirectoryHandle dir(native.get());
  if (dir.get() == nullptr) {
    return ListOutcome::kNothingListed;
  }
  bool listedAny = false;
  while (const dirent* entry = ::readdir(dir.get())) {
    listedAny = true;
    if (!visit(context, DirectoryEntry{entry->d_name, entryIsDirectory(dir.get(), entry)})) {
      return ListOutcome::kStopped;
    }
  }
  return listedAny ? ListOutcome::kFinished : ListOutcome::kNothingListed;
}

int32_t readFile(const char* path, unsigned char* buffer, int32_t capacity) {
  const NativePath native(path);
  // Non-blocking, so that opening a FIFO returns at once; the type test then refuses it.
  FileDescriptor file(
      openInRecentDirectory(native.get(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat status;
  if (!file.valid() || ::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return -1;
  }
  // Read until the end of the file or the capacity. The size from fstat saves the read that
  // would only report the end; a file still growing is read as far as it was, and one that
  // reports no size (as files of /proc do) is read until its end.
  const int32_t wanted = status.st_size > 0 && status.st_size < capacity
                             ? static_cast<int32_t>(status.st_size)
                             : capacity;
  int32_t total = 0;
  while (total < wanted) {
    const ssize_t got =
        ::read(file.get(), buffer + total, static_cast<std::size_t>(wanted - total));
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

WriteOutcome writeFileSafely(const char* path, const unsigned char* data, int32_t length,
                             WriteMode mode) {
  const NativePath native(path);
  if (mode == WriteMode::kCreate) {
    return createFile(native.get(), data, length);
  }
  struct stat status;
  if (::lstat(native.get(), &status) != 0) {
    return errno == ENOENT ? createFile(native.get(), data, length) : WriteOutcome::kCannotCreate;
  }
  // A symbolic link has its target replaced, so the link stays a link.
  char resolved[PATH_MAX];
  const char* target = native.get();
  if (S_ISLNK(status.st_mode)) {
    if (::realpath(target, resolved) == nullptr || ::stat(resolved, &status) != 0) {
      return WriteOutcome::kCannotCreate;
    }
    target = resolved;
  }
  // A directory, FIFO or device at the output path is never swapped for a file.
  if (!S_ISREG(status.st_mode)) {
    return WriteOutcome::kCannotCreate;
  }
  return replaceFile(target, status, data, length);
}

}  // namespace tunewright::platform
