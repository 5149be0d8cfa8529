// POSIX implementation of the platform layer: directories held open, every file of a preset
// reached relative to the directory it was found in, and the steps of the file sequence. Each
// Linux call has a POSIX.1-2008 way beside it, chosen when the program is built (the
// TUNEWRIGHT_HAVE_* switches; TUNEWRIGHT_PORTABLE_POSIX turns every one off).

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if TUNEWRIGHT_HAVE_LINUX_XATTR
#include <sys/xattr.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

#include "platform/platform.h"
#include "platform/posix_file_calls.h"
#include "platform/system_calls.h"

namespace tunewright::platform {

namespace {

// The error of the last failed call that decided an outcome, on this thread.
thread_local int lastFailure = 0;

// Notes errno as the reason of the failure being reported and passes the result on.
template <typename T>
T failed(T result) {
  noteFailure(errno);
  return result;
}

// A path from the command line in the file system's own form: the program's backslash
// separators become slashes. One too long for the system fails where it is used, as the system
// refuses it.
std::string nativePath(const char* path) {
  std::string native(path);
  std::replace(native.begin(), native.end(), '\\', '/');
  return native;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(-1); }  // no-mutate(constant): any negative is none
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release() { return std::exchange(fd_, -1); }  // no-mutate(constant): any negative is none
  void reset(int fd) {
    // no-mutate(relational): only descriptor 0 differs, which is standard input's
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }

 private:
  int fd_;
};

int descriptor(Handle handle) {
  return static_cast<int>(handle);
}

FileIdentity identityOf(const struct stat& status) {
#if TUNEWRIGHT_HAVE_ST_MTIM
  // no-mutate(arithmetic): times are only ever compared for equality, which any one-to-one
  // reading of them keeps
  const int64_t modified = int64_t{status.st_mtim.tv_sec} * 1000000000 + status.st_mtim.tv_nsec;
  // no-mutate(arithmetic): as above
  const int64_t changed = int64_t{status.st_ctim.tv_sec} * 1000000000 + status.st_ctim.tv_nsec;
#else
  const int64_t modified = int64_t{status.st_mtime} * 1000000000;
  const int64_t changed = int64_t{status.st_ctime} * 1000000000;
#endif
  FileIdentity identity;
  identity.volume = static_cast<uint64_t>(status.st_dev);
  identity.file = static_cast<uint64_t>(status.st_ino);
  identity.size = static_cast<int64_t>(status.st_size);
  identity.modified = modified;
  identity.changed = changed;
  // no-mutate(constant): others' execute bit is given to no new file, and both sides of a
  // comparison lose it alike
  identity.permissions = static_cast<uint32_t>(status.st_mode & 07777);
  identity.group = static_cast<uint32_t>(status.st_gid);
  return identity;
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

// Opens a directory for listing and flushing, or, where it may be searched but not read, for
// working in only.
int openDirectoryAt(int at, const char* path, int flags, bool& syncable) {
  int fd = ::openat(at, path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | flags);
  syncable = fd >= 0;
#if TUNEWRIGHT_HAVE_O_PATH
  // no-mutate(constant,logical): only standard input's 0 differs; an open that succeeds leaves
  // errno as the calls before it did, which no test sees end in EACCES
  if (fd < 0 && errno == EACCES) {
    // no-mutate(bitwise): the open above found a directory; the program never runs another
    fd = ::openat(at, path, O_PATH | O_DIRECTORY | O_CLOEXEC | flags);
  }
#else
  // Without O_PATH, a directory that cannot be read is searched through O_SEARCH where the system
  // has it; else it cannot be held open, and its files are not reached.
#ifdef O_SEARCH
  if (fd < 0 && errno == EACCES) {
    fd = ::openat(at, path, O_SEARCH | O_DIRECTORY | O_CLOEXEC | flags);
  }
#endif
#endif
  return fd;
}

// The most one call reads, writes or copies: a bound below what any system takes at once.
constexpr uint64_t kMostPerCall = 1 << 30;  // no-mutate(constant): any such bound works the same

bool writeAll(int fd, const unsigned char* data, uint64_t length) {
  while (length > 0) {
    const ssize_t written =
        ::write(fd, data, static_cast<std::size_t>(std::min(length, kMostPerCall)));
    // no-mutate(constant): a write of something to a file never writes nothing
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      return failed(false);
    }
    // no-mutate(arithmetic): a file takes part of a write only when the next one fails (a full
    // disk, a size limit), or past kMostPerCall, which no piece held in memory comes near
    data += written;
    length -= static_cast<uint64_t>(written);
  }
  return true;
}

// Copies length bytes from offset of from to the end of what is written to to: inside the file
// system where it can (no data passes through the program; on the same file system, often none
// is copied at all), else through a buffer of bounded size.
bool copyRange(int from, uint64_t offset, int to, uint64_t length) {
#if TUNEWRIGHT_HAVE_COPY_FILE_RANGE
  auto at = static_cast<off_t>(offset);
  // no-mutate(negation,constant): the buffer's way copies whatever is left
  while (length > 0) {
    const ssize_t copied = ::copy_file_range(
        from, &at, to, nullptr, static_cast<std::size_t>(std::min(length, kMostPerCall)), 0);
    if (copied < 0 && errno == EINTR) {
      continue;
    }
    // no-mutate(relational,constant): any other failure, or a file that ended, meets the
    // buffer's way and fails there again
    if (copied < 0 && (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
                       errno == EOPNOTSUPP || errno == ETXTBSY)) {
      break;  // not between these two files: the buffer's way
    }
    // The file ended before the range did: it shrank, which the look after the copy tells.
    if (copied <= 0) {
      return copied == 0 ? false : failed(false);  // no-mutate(negation): see above
    }
    length -= static_cast<uint64_t>(copied);
  }
  offset = static_cast<uint64_t>(at);
#endif
  constexpr std::size_t kBufferSize = 1 << 20;
  static std::unique_ptr<unsigned char[]> buffer;  // made the first time it is needed
  while (length > 0) {
    if (buffer == nullptr) {
      buffer = std::make_unique<unsigned char[]>(kBufferSize);
    }
    const ssize_t got = ::pread(from, buffer.get(), std::min<uint64_t>(length, kBufferSize),
                                static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      // no-mutate(constant): a file that ended early is reported as changed, with no reason
      return got == 0 ? false : failed(false);
    }
    if (!writeAll(to, buffer.get(), static_cast<uint64_t>(got))) {
      return false;
    }
    offset += static_cast<uint64_t>(got);
    length -= static_cast<uint64_t>(got);
  }
  return true;
}

// The temporary file being written, for the interruption handler to remove: its directory and
// name are set before the file is made and the mark cleared once it is renamed or removed, so an
// interruption at any moment finds either nothing to do or a name it may unlink.
int pendingDirectory = -1;
char pendingName[sizeof Temporary::name];
volatile std::sig_atomic_t temporaryPending = 0;

void onInterruption(int signalNumber) {
  if (temporaryPending != 0) {
    ::unlinkat(pendingDirectory, pendingName, 0);
  }
  // End as the signal ends any program, so the caller sees it (a shell reports 130 for Ctrl-C).
  ::signal(signalNumber, SIG_DFL);
  ::raise(signalNumber);
}

// The signals that end a program unless it handles them, and that a user, a terminal, a limit
// or another program may send: each removes the temporary file being written first.
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
                                  SIGALRM, SIGVTALRM, SIGPROF, SIGXCPU, SIGPIPE};

// Holds the ending signals back for its lifetime, so that the handler never meets a name that is
// half set, or one given to a file that turns out to be another's.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t held;
    ::sigemptyset(&held);  // no-mutate(drop-call): the set on the stack is empty here anyway
    for (const int signalNumber : kEndingSignals) {
      ::sigaddset(&held, signalNumber);
    }
    ::sigprocmask(SIG_BLOCK, &held, &previous_);
  }
  ~SignalsHeld() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

// Notes the temporary file just made, whose name the handler may remove from now on.
void notePending(int directory, const char* name) {
  std::memcpy(pendingName, name, sizeof pendingName);
  pendingDirectory = directory;
  std::atomic_signal_fence(std::memory_order_seq_cst);
  temporaryPending = 1;  // no-mutate(constant): any value but 0 means pending
}

// The temporary has a name no longer: renamed, or removed.
void forgetName(Temporary& temporary) {
  temporary.name[0] = '\0';
  temporaryPending = 0;
}

// The process's umask, which every new file's permission bits are given under: read once, as
// reading it means setting it for a moment, and nothing in the program changes it.
mode_t fileCreationMask() {
  static const mode_t current = [] {
    const mode_t told = ::umask(0);
    ::umask(told);  // no-mutate(drop-call): every file is made with no permissions at all
    return told;
  }();
  return current;
}

#if TUNEWRIGHT_HAVE_O_PATH || TUNEWRIGHT_HAVE_O_TMPFILE
// The name of an open file's entry in /proc, which leads to the very file whatever its names.
struct ProcEntry {
  explicit ProcEntry(int fd) { std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd); }
  char path[32];
};

bool haveProc() {
  static const bool mounted = ::access("/proc/self/fd", F_OK) == 0;
  return mounted;
}
#endif

#if TUNEWRIGHT_HAVE_O_TMPFILE
// Gives an unnamed file a name in a directory. Directly where the process may (older kernels
// allow it only with the capability to look up any file), else through its entry in /proc.
int linkUnnamed(int fd, int directory, const char* name) {
  static bool direct = true;
  if (direct) {
    if (::linkat(fd, "", directory, name, AT_EMPTY_PATH) == 0) {
      return 0;
    }
    // no-mutate(relational): any other failure the way through /proc meets again
    if (errno != EPERM && errno != ENOENT && errno != EINVAL) {
      return -1;
    }
    direct = false;  // no-mutate(negation): else tried again each time, and failing alike
  }
  return ::linkat(AT_FDCWD, ProcEntry(fd).path, directory, name, AT_SYMLINK_FOLLOW);
}
#endif

// Moves a named file to a name that must be free: renameat2 where the file system has it, else
// a hard link, which fails in the same case, and the removal of the old name.
int renameWithoutReplacing(int directory, const char* from, const char* to) {
  if (fileCalls.renameNoReplace != nullptr &&
      fileCalls.renameNoReplace(directory, from, directory, to) == 0) {
    return 0;
  }
  if (fileCalls.renameNoReplace != nullptr && errno != EINVAL && errno != ENOSYS &&
      errno != ENOTSUP) {
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
      return failed(WriteOutcome::kWriteFailed);  // whole bytes, but the name could not be given
  }
}

// What a failure to make a file means: a full disk (out of blocks or of inodes, or over a quota)
// is a failed write, as it would be a moment later.
WriteOutcome creationFailure() {
  const bool full = errno == ENOSPC || errno == EDQUOT;
  return failed(full ? WriteOutcome::kWriteFailed : WriteOutcome::kCannotCreate);
}

#if TUNEWRIGHT_HAVE_LINUX_XATTR
// The names of the extended attributes of a file, each ending in a zero, as the system lists
// them, however many there are.
std::string attributeNames(int fd) {
  std::string names;
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size <= 0) {  // no-mutate(relational): no names listed is the same as none
      return {};
    }
    names.resize(static_cast<std::size_t>(size));
    const ssize_t listed = ::flistxattr(fd, names.data(), names.size());
    // no-mutate(constant,relational): a list emptied meanwhile is none either way
    if (listed >= 0) {
      names.resize(static_cast<std::size_t>(listed));
      return names;
    }
    // Grown meanwhile: ask again. no-mutate(relational,negation): no test can add a name between
    // the two calls; a list that cannot be read is none, as the first call's failure is
    if (errno != ERANGE) {
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

// What a new file got from its directory and the file it stands for lacks (a default ACL
// becomes its own access ACL) is taken away while it still has no permissions at all. Not every
// file system has attributes, so a failure here is no failure of the write.
void removeUnlisted(int to, const std::string& wanted) {
  forEachName(attributeNames(to), [&](const char* name) {
    if (!listed(wanted, name)) {
      ::fremovexattr(to, name);
    }
  });
}

// Every attribute of the original is copied, whatever its size.
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
      if (got < 0 && errno == ERANGE) {
        continue;  // grown meanwhile: ask again
      }
      if (got >= 0) {
        ::fsetxattr(to, name, value.data(), static_cast<std::size_t>(got), 0);
      }
      return;
    }
  });
}

// The attribute that holds a file's access ACL, beyond its permission bits.
constexpr char kAccessRules[] = "system.posix_acl_access";

// The access ACL a new file took from its directory's default ACL: a new output gains no access
// its preset did not give.
void removeInheritedRules(int fd) {
  ::fremovexattr(fd, kAccessRules);
}

bool hasExtendedRules(int fd) {
  // no-mutate(relational): an access ACL holds at least its header, never nothing
  return ::fgetxattr(fd, kAccessRules, nullptr, 0) > 0;
}

// Whether the replacement has the original's access ACL, if it has one: without it, the
// permission bits copied last would give the file's group what the ACL's mask gave.
bool rulesCarried(int from, int to) {
  const ssize_t size = ::fgetxattr(from, kAccessRules, nullptr, 0);
  return size <= 0 || ::fgetxattr(to, kAccessRules, nullptr, 0) == size;
}
#else
void removeUnlisted(int, const std::string&) {}
void copyListed(int, int, const std::string&) {}
std::string attributeNames(int) {
  return {};
}
void removeInheritedRules(int) {}
bool hasExtendedRules(int) {
  return false;
}
bool rulesCarried(int, int) {
  return true;
}
#endif

// Whether fd, a directory, can be flushed: opened for reading.
bool flushDirectory(int directory, bool syncable) {
  // no-mutate(constant): a folder not flushed here is flushed with its file system, as durably
  return syncable && fileCalls.fsync(directory) == 0;
}

// Splits a link's target into the directory part and the last component.
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
      return failed(OutputState::kUnreachable);
  }
}

// The steps of the file sequence.

// Any name but "." and ".." is one entry; one too long is refused where it is used.
OutputState checkNameStep(const std::string&) {
  return OutputState::kNothing;
}

OutputState openDirectoryStep(Handle at, const std::string& component, OpenedDirectory& opened) {
  const int fd = openDirectoryAt(descriptor(at), component.c_str(), O_NOFOLLOW, opened.syncable);
  if (fd < 0) {
    return lookupFailure();
  }
  opened.handle = fd;
  return OutputState::kNothing;
}

Look lookStep(Handle directory, const std::string& name) {
  const int at = descriptor(directory);
  struct stat status;
  Look look;
  if (::fstatat(at, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
    look.state = errno == ENOENT         ? OutputState::kNothing
                 : errno == ENAMETOOLONG ? OutputState::kNameTooLong
                                         : failed(OutputState::kUnreachable);
    return look;
  }
  look.identity = identityOf(status);
  if (S_ISREG(status.st_mode)) {
    // Read-only means read-only, for root too: write permission must be there and granted.
    const bool writable = (status.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0 &&
                          ::faccessat(at, name.c_str(), W_OK, 0) == 0;
    look.state = writable ? OutputState::kFile : OutputState::kReadOnlyFile;
  } else {
    look.state = S_ISLNK(status.st_mode) ? OutputState::kLink : OutputState::kNotAFile;
  }
  return look;
}

bool followLinkStep(Handle directory, const std::string& name, OpenedDirectory& to,
                    std::string& toName) {
  const int at = descriptor(directory);
  char target[4096];
  const ssize_t length = ::readlinkat(at, name.c_str(), target, sizeof target);
  if (length < 0) {  // no-mutate(constant): no system keeps an empty target
    return failed(false);
  }
  // An empty target, or one that fills the room: cut short. no-mutate(relational,logical): no
  // system keeps either
  if (length == 0 || static_cast<std::size_t>(length) >= sizeof target) {
    return false;
  }
  target[length] = '\0';
  const SplitPath split = splitLast(target);
  if (!split.directory.empty()) {
    const std::string directoryPart(split.directory);
    const int fd =
        openDirectoryAt(target[0] == '/' ? AT_FDCWD : at, directoryPart.c_str(), 0, to.syncable);
    if (fd < 0) {    // no-mutate(constant): 0 is standard input's
      return false;  // no-mutate(drop-return): the preset was not read through it either
    }
    to.handle = fd;
  }
  toName.assign(split.name);
  return true;
}

// A file opened for reading, as it was when looked at, handed on.
Handle opened(FileDescriptor& file, const struct stat& status, FileIdentity& identity) {
  identity = identityOf(status);
  identity.extendedRules = (status.st_mode & S_IRWXG) != 0 && hasExtendedRules(file.get());
  return file.release();
}

Handle openToReadStep(Handle directory, const char* name, bool followLink, FileIdentity& identity) {
  const int at = descriptor(directory);
  const int nofollow = followLink ? 0 : O_NOFOLLOW;
  FileDescriptor file(-1);  // no-mutate(constant): any negative is none
  struct stat looked;
#if TUNEWRIGHT_HAVE_O_PATH
  if (haveProc()) {
    // A place that opens nothing (no FIFO released, no device woken), looked at, and only a
    // regular file there then opened, through that very place.
    const FileDescriptor place(::openat(at, name, O_PATH | O_CLOEXEC | nofollow));
    if (!place.valid()) {
      return failed(kNoHandle);
    }
    if (::fstat(place.get(), &looked) != 0 || !S_ISREG(looked.st_mode)) {
      return kNoHandle;
    }
    // Opened through the very place looked at, so what was looked at is what is opened.
    // no-mutate(bitwise): the program starts no other program, and a regular file is no
    // terminal
    file.reset(::open(ProcEntry(place.get()).path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!file.valid()) {
      return failed(kNoHandle);
    }
    return opened(file, looked, identity);
  }
#endif
  {
    // Looked at, then opened by name: a FIFO put in the file's place between the two is opened
    // (without blocking) before it is refused below. Only where the system has no O_PATH, or
    // no /proc.
    if (::fstatat(at, name, &looked, followLink ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
      return failed(kNoHandle);
    }
    if (!S_ISREG(looked.st_mode)) {
      return kNoHandle;
    }
    file.reset(::openat(at, name, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | nofollow));
  }
  if (!file.valid()) {
    return failed(kNoHandle);
  }
  struct stat status;
  // Opened by name: only the very file looked at counts. no-mutate(logical,drop-call): a file that
  // is the one looked at is a regular file, which the identity below tells alone
  if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
      !identityOf(status).sameFile(identityOf(looked))) {
    return kNoHandle;
  }
  return opened(file, status, identity);
}

bool identifyStep(Handle file, FileIdentity& identity) {
  struct stat status;
  if (::fstat(descriptor(file), &status) != 0) {
    return failed(false);
  }
  identity = identityOf(status);
  return true;
}

int64_t readStep(Handle file, uint64_t offset, unsigned char* buffer, int64_t length) {
  int64_t total = 0;
  while (total < length) {
    const ssize_t got = ::pread(
        descriptor(file), buffer + total,
        static_cast<std::size_t>(std::min(static_cast<uint64_t>(length - total), kMostPerCall)),
        static_cast<off_t>(offset + static_cast<uint64_t>(total)));
    // no-mutate(relational): the end of a file leaves errno as it was, never at EINTR here
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return failed(int64_t{-1});  // what was read before is no part of the file to go by
    }
    if (got == 0) {
      break;
    }
    total += got;
  }
  return total;
}

void closeStep(Handle file) {
  ::close(descriptor(file));
}

bool mayMakeFilesStep(Handle directory) {
  // Write and search permission on the directory itself, which a read-only file system refuses
  // to everyone.
  return ::faccessat(descriptor(directory), ".", W_OK | X_OK, AT_EACCESS) == 0 || failed(false);
}

// A new file's permission bits: its owner's read and write, and for others what they may do
// with its source. Its group may do what the source's group may, only where it is that group
// (the file takes its directory's group in a set-group-ID directory, the maker's elsewhere: it
// is given the source's where the system lets it) and where the source's group bits are its
// group's, not the mask of access rules beyond them. The umask applies as ever.
mode_t newFileBits(const FileIdentity& source, bool sameGroup) {
  const mode_t group = sameGroup && !source.extendedRules ? (source.permissions & 0060) : 0;
  return (S_IRUSR | S_IWUSR | group | (source.permissions & 0006)) & ~fileCreationMask();
}

// Gives a new file, made with made's group and bits, its source's group where it can and its
// bits: set only where they are not already what they are to be.
bool giveNewFileBits(int fd, const struct stat& made, const FileIdentity& source) {
  struct stat status = made;
  const bool sameGroup = (status.st_gid == source.group ||
                          (::fchown(fd, static_cast<uid_t>(-1), source.group) == 0 &&
                           ::fstat(fd, &status) == 0 && status.st_gid == source.group));
  const mode_t bits = newFileBits(source, sameGroup);
  // no-mutate(bitwise): bits set to what they are change nothing but the calls made
  return (status.st_mode & 07777) == bits || ::fchmod(fd, bits) == 0;
}

// A file nobody else can open until it is whole. Unnamed where the file system allows (nothing of
// it shows before it is whole, and nothing outlives the program if it never is), and made with
// the bits it is to have, which nobody sees before it is named. Else, and always for a
// replacement, which is renamed over what it replaces, named ".tunewright-PID-N.tmp", which never
// ends in a preset extension, so a scan passes over it, and made with no permissions at all, so
// that nobody can open it through what its directory would give it. Then, for a replacement,
// only what the original has too is kept of what the directory gave it, and its owner may write
// it; a new file keeps no access rule from its directory and is given its permission bits: its
// source's for group and others, read and write for its owner, less the umask.
WriteOutcome makeTemporaryStep(Handle directory, Handle original, const FileIdentity& source,
                               [[maybe_unused]] bool replacing, Temporary& temporary) {
  const int at = descriptor(directory);
  FileDescriptor file(-1);  // no-mutate(constant): any negative is none
#if TUNEWRIGHT_HAVE_O_TMPFILE
  if (!replacing && haveProc()) {
    // The bits are given as if the file took its source's group, and taken back below if not.
    file.reset(::openat(at, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, newFileBits(source, true)));
    // no-mutate(drop-call,negation): the named way would meet the same full disk and fail
    // alike; a file made leaves errno from the look before it, which found nothing there
    if (!file.valid() && (errno == ENOSPC || errno == EDQUOT)) {
      return creationFailure();
    }
  }
#endif
  if (!file.valid()) {
    static unsigned counter = 0;
    static const pid_t processId = ::getpid();
    for (int attempt = 0; attempt < 100 && !file.valid(); ++attempt) {
      char name[sizeof temporary.name];
      std::snprintf(name, sizeof name, ".tunewright-%ld-%u.tmp", static_cast<long>(processId),
                    counter++);
      const SignalsHeld held;
      // no-mutate(constant): its bits are set before anything is written to it
      file.reset(::openat(at, name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0));
      if (file.valid()) {
        notePending(at, name);
        std::memcpy(temporary.name, name, sizeof name);
      } else if (errno != EEXIST) {
        return creationFailure();
      }
    }
    if (!file.valid()) {
      return creationFailure();
    }
  }
  temporary.file = file.release();
  const int fd = descriptor(temporary.file);
  if (original != kNoHandle) {
    removeUnlisted(fd, attributeNames(descriptor(original)));
    // no-mutate(drop-return): a new file's bits give it no more than its source gives, and the
    // replacement is given the original's owner, rules and bits before it takes its name
    return ::fchmod(fd, S_IRUSR | S_IWUSR) == 0 ? WriteOutcome::kWritten
                                                : failed(WriteOutcome::kCannotCreate);
  }
  removeInheritedRules(fd);
  // Known by its place from now on, so that a name given to it can be told from another's.
  struct stat made;
  if (::fstat(fd, &made) != 0) {
    return failed(WriteOutcome::kCannotCreate);
  }
  temporary.volume = static_cast<uint64_t>(made.st_dev);
  temporary.inode = static_cast<uint64_t>(made.st_ino);
  return giveNewFileBits(fd, made, source) ? WriteOutcome::kWritten
                                           : failed(WriteOutcome::kCannotCreate);
}

bool writeStep(Temporary& temporary, const Piece& piece) {
  const int fd = descriptor(temporary.file);
  if (piece.file == nullptr) {
    return writeAll(fd, piece.bytes, piece.length);
  }
  return copyRange(descriptor(InputFileAccess::handle(*piece.file)), piece.offset, fd,
                   piece.length);
}

// The original's owner and group (one at a time, so the group stays when the owner cannot be
// set; neither is an error, as for any copy a user makes of another's file), then its attributes
// (a change of owner may drop some) and its permission bits last.
bool carryMetadataStep(Handle original, Temporary& temporary) {
  const int from = descriptor(original);
  const int to = descriptor(temporary.file);
  struct stat status;
  if (::fstat(from, &status) != 0) {
    return failed(false);
  }
  // no-mutate(constant): the next call gives the group
  [[maybe_unused]] const int owner = ::fchown(to, status.st_uid, static_cast<gid_t>(-1));
  [[maybe_unused]] const int group = ::fchown(to, static_cast<uid_t>(-1), status.st_gid);
  copyListed(from, to, attributeNames(from));
  return (rulesCarried(from, to) && ::fchmod(to, status.st_mode & 07777) == 0) || failed(false);
}

bool flushStep(Temporary& temporary) {
  return fileCalls.fsync(descriptor(temporary.file)) == 0 || failed(false);
}

// A close that fails after the name was given takes it away again: nothing was there before.
WriteOutcome keepAsNewStep(Temporary& temporary, Handle directory, const std::string& name) {
  const int at = descriptor(directory);
  const int fd = descriptor(std::exchange(temporary.file, kNoHandle));
  if (temporary.name[0] != '\0') {  // no-mutate(constant): a name has two characters or none
    // A named file is closed first: a failed close may mean bytes lost on the way.
    if (fileCalls.close(fd) != 0) {
      return failed(WriteOutcome::kWriteFailed);
    }
    const SignalsHeld held;  // the name moves and is forgotten in one step
    if (renameWithoutReplacing(at, temporary.name, name.c_str()) != 0) {
      return namingFailure();
    }
    forgetName(temporary);
    return WriteOutcome::kWritten;
  }
#if TUNEWRIGHT_HAVE_O_TMPFILE
  if (linkUnnamed(fd, at, name.c_str()) != 0) {
    const WriteOutcome outcome = namingFailure();
    ::close(fd);
    return outcome;
  }
  // Taken away again only while the name is still this very file's.
  if (fileCalls.close(fd) != 0) {
    noteFailure(errno);
    struct stat there;
    if (::fstatat(at, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        static_cast<uint64_t>(there.st_dev) == temporary.volume &&
        static_cast<uint64_t>(there.st_ino) == temporary.inode) {
      ::unlinkat(at, name.c_str(), 0);
    }
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
#else
  ::close(fd);
  return WriteOutcome::kWriteFailed;
#endif
}

bool replaceStep(Temporary& temporary, Handle directory, const std::string& name) {
  if (temporary.name[0] == '\0') {
    return false;  // an unnamed file cannot take the place of another
  }
  const int at = descriptor(directory);
  const SignalsHeld held;  // the name moves and is forgotten in one step
  if (fileCalls.rename(at, temporary.name, at, name.c_str()) != 0) {
    return failed(false);
  }
  forgetName(temporary);
  return true;
}

// The rename just made, made durable: by flushing the directory, or where it cannot be opened
// for that (it may be searched but not read), the whole file system the file is on.
bool makeDurableStep(Temporary& temporary, Handle directory, bool syncable) {
  if (flushDirectory(descriptor(directory), syncable)) {
    return true;
  }
#if TUNEWRIGHT_HAVE_SYNCFS
  return ::syncfs(descriptor(temporary.file)) == 0 || failed(false);
#else
  // Every file system, which reports no failure.
  (void)temporary;
  ::sync();
  return true;
#endif
}

void discardStep(Temporary& temporary, Handle directory) {
  if (temporary.file != kNoHandle) {
    ::close(descriptor(std::exchange(temporary.file, kNoHandle)));
  }
  if (temporary.name[0] != '\0') {
    const SignalsHeld held;  // the name goes and is forgotten in one step
    ::unlinkat(descriptor(directory), temporary.name, 0);
    forgetName(temporary);
  }
}

#if TUNEWRIGHT_HAVE_RENAMEAT2
int renameNoReplace(int fromDirectory, const char* from, int toDirectory, const char* to) {
  return ::renameat2(fromDirectory, from, toDirectory, to, RENAME_NOREPLACE);
}
#endif

}  // namespace

SystemCalls systemCalls = {
    checkNameStep,   openDirectoryStep, lookStep,  followLinkStep,   openToReadStep,
    identifyStep,    readStep,          closeStep, mayMakeFilesStep, makeTemporaryStep,
    writeStep,       carryMetadataStep, flushStep, keepAsNewStep,    replaceStep,
    makeDurableStep, discardStep,
};

FileCalls fileCalls = {
    ::fsync,
    ::close,
    ::renameat,
#if TUNEWRIGHT_HAVE_RENAMEAT2
    renameNoReplace,
#else
    nullptr,
#endif
};

void noteFailure(int code) {
  lastFailure = code;
}

std::string failureReason() {
  return lastFailure == 0 ? std::string() : std::string(std::strerror(lastFailure));
}

void clearFailure() {
  lastFailure = 0;
}

int failureCode() {
  return lastFailure;
}

bool readsAhead() {
  return true;
}

std::thread startThread(void (*work)(void*), void* context) {
  // The new thread starts with the signals held, and never lets them in.
  const SignalsHeld held;
  return std::thread(work, context);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return {argv, argv + argc};
}

void installInterruptHandlers() {
  struct sigaction action = {};
  action.sa_handler = onInterruption;
  ::sigemptyset(&action.sa_mask);  // no-mutate(drop-call): the action is zeroed, its mask empty
  for (const int signalNumber : kEndingSignals) {
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
  // no-mutate: never called here, as a POSIX run owns no window
  for (int c = std::getchar(); c != EOF && c != '\n'; c = std::getchar()) {
  }
}

bool pathExists(const char* path) {
  struct stat status;
  return ::lstat(nativePath(path).c_str(), &status) == 0;
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
  const std::string native = nativePath(path);
  const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    handle_ = fd;
    syncable_ = true;
    return DirectoryOpening::kOpened;
  }
  noteFailure(errno);
  struct stat status;
  return errno == EACCES && ::stat(native.c_str(), &status) == 0 && S_ISDIR(status.st_mode)
             ? DirectoryOpening::kUnreadable
             : DirectoryOpening::kMissing;
}

const char* Directory::openParentOf(const char* path) {
  *this = Directory();
  std::string native = nativePath(path);
  if (native.empty()) {
    return nullptr;
  }
  const SplitPath split = splitLast(native);
  const std::size_t nameStart = static_cast<std::size_t>(split.name.data() - native.data());
  native = split.directory.empty() ? std::string(".") : std::string(split.directory);
  const int fd = openDirectoryAt(AT_FDCWD, native.c_str(), 0, syncable_);
  if (fd < 0) {
    return failed(nullptr);
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
    // no-mutate(negation): a folder not flushed is flushed with its file system, as durably
    syncable_ = true;
    return DirectoryOpening::kOpened;
  }
  noteFailure(errno);
  // A link put in its place, or a directory gone, is no longer part of the scan.
  struct stat status {};
  const bool looked = errno != ENOENT && errno != ENOTDIR && errno != ELOOP &&
                      ::fstatat(at, name, &status, AT_SYMLINK_NOFOLLOW) == 0;
  // no-mutate(logical): a status not looked at is all zeros, which is no directory
  return looked && S_ISDIR(status.st_mode) ? DirectoryOpening::kUnreadable
                                           : DirectoryOpening::kMissing;
}

ListOutcome Directory::list(EntryVisitor visit, void* context) const {
  // The listing reads through a copy of the handle, which the stream owns and closes.
  // no-mutate(constant,relational): any negative is none, and 0 is standard input's
  const int copy = isOpen() ? ::fcntl(descriptor(handle_), F_DUPFD_CLOEXEC, 0) : -1;
  // no-mutate(relational): 0 is standard input's
  // no-mutate(constant): the directory held took the lowest free number, so its copy is never 0
  DIR* const stream = copy < 0 ? nullptr : ::fdopendir(copy);
  if (stream == nullptr) {
    noteFailure(errno);
    if (copy >= 0) {  // no-mutate(relational): standard input is never closed here
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
      outcome = errno == 0 ? ListOutcome::kFinished : failed(ListOutcome::kFailed);
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

}  // namespace tunewright::platform
