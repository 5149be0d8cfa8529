// POSIX stand-in for the Win32 file functions the program was designed around.

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/platform.h"

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
    return ::close(fd) == 0;
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

// Writes a whole new file that nothing else has seen yet; removes it again on failure.
bool writeNewFile(FileDescriptor& file, const char* path, const unsigned char* data,
                  int32_t length) {
  const bool ok = writeAll(file.get(), data, length) && file.close();
  if (!ok) {
    if (file.valid()) {
      file.close();
    }
    ::unlink(path);
  }
  return ok;
}

// Creates an exclusive temporary file in the directory of target. Its name never ends in a
// preset extension, so a directory scan passes over it.
int createTemporaryBeside(const char* target, char (&temporary)[PATH_MAX]) {
  const char* slash = std::strrchr(target, '/');
  const int directoryLength = slash == nullptr ? 0 : static_cast<int>(slash - target + 1);
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int length =
        std::snprintf(temporary, sizeof temporary, "%.*s.tunewright-%ld-%u.tmp", directoryLength,
                      target, static_cast<long>(::getpid()), counter++);
    if (length < 0 || static_cast<std::size_t>(length) >= sizeof temporary) {
      return -1;
    }
    const int fd = ::open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd >= 0 || errno != EEXIST) {
      return fd;
    }
  }
  return -1;
}

WriteOutcome replaceExistingFile(const char* path, const unsigned char* data, int32_t length) {
  // Resolve a symbolic link so that its target is replaced and the link stays a link.
  char resolved[PATH_MAX];
  struct stat status;
  if (::lstat(path, &status) != 0) {
    return WriteOutcome::kCannotCreate;
  }
  if (S_ISLNK(status.st_mode)) {
    if (::realpath(path, resolved) == nullptr || ::stat(resolved, &status) != 0) {
      return WriteOutcome::kCannotCreate;
    }
    path = resolved;
  }
  // Only a regular file we may write is replaced: a directory, FIFO or device at the output
  // path, or a read-only preset, is never swapped for a file.
  if (!S_ISREG(status.st_mode) || ::access(path, W_OK) != 0) {
    return WriteOutcome::kCannotCreate;
  }
  char temporary[PATH_MAX];
  FileDescriptor file(createTemporaryBeside(path, temporary));
  if (!file.valid()) {
    return WriteOutcome::kCannotCreate;
  }
  // The replacement takes over the owner (where we may set it) and the permission bits.
  if (::fchown(file.get(), status.st_uid, status.st_gid) != 0) {
    // Not permitted for another owner: the replacement then belongs to us, as a copy would.
  }
  if (::fchmod(file.get(), status.st_mode & 07777) != 0) {
    file.close();
    ::unlink(temporary);
    return WriteOutcome::kWriteFailed;
  }
  if (!writeNewFile(file, temporary, data, length)) {
    return WriteOutcome::kWriteFailed;
  }
  if (::rename(temporary, path) != 0) {
    ::unlink(temporary);
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
}

}  // namespace

bool isDirectory(const char* path) {
  const NativePath native(path);
  struct stat status;
  return ::stat(native.get(), &status) == 0 && S_ISDIR(status.st_mode);
}

ListOutcome listDirectory(const char* pattern, EntryVisitor visit, void* context) {
  // The pattern is directory + separator + "*"; the listing needs the directory alone.
  const NativePath native(pattern);
  char directory[PATH_MAX];
  std::strcpy(directory, native.get());
  char* slash = std::strrchr(directory, '/');
  if (slash == nullptr) {
    std::strcpy(directory, ".");
  } else {
    slash[1] = '\0';
  }
  DirectoryHandle dir(directory);
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
  FileDescriptor file(::open(native.get(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
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

WriteOutcome writeFileSafely(const char* path, const unsigned char* data, int32_t length) {
  const NativePath native(path);
  // Nothing at the output path yet: write the file directly; a failure removes it again, so
  // no temporary file and rename are needed.
  FileDescriptor file(
      ::open(native.get(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666));
  if (file.valid()) {
    return writeNewFile(file, native.get(), data, length) ? WriteOutcome::kWritten
                                                          : WriteOutcome::kWriteFailed;
  }
  if (errno != EEXIST) {
    return WriteOutcome::kCannotCreate;
  }
  return replaceExistingFile(native.get(), data, length);
}

}  // namespace tunewright::platform
