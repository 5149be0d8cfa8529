// The POSIX file layer: what it promises beyond plain system calls (held directories, regular
// files only, outputs that never show half-written, safe replacement).

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_file_calls.h"
#include "platform/system_calls.h"
#include "scratch_directory.h"

// While set, the directory listing reports no entry types (d_type DT_UNKNOWN), as some file
// systems do; the program's own calls to readdir land here rather than in the C library.
bool hideEntryTypes = false;

extern "C" struct dirent* readdir(DIR* dir) {
  static const auto next =
      reinterpret_cast<struct dirent* (*)(DIR*)>(::dlsym(RTLD_NEXT, "readdir"));
  struct dirent* entry = next(dir);
  if (entry != nullptr && hideEntryTypes) {
    entry->d_type = DT_UNKNOWN;
  }
  return entry;
}

// While set, the file system makes no unnamed files (openat with O_TMPFILE fails), as some do not,
// and new files take the named way. The name of the last file made only if it was not there.
bool refuseUnnamedFiles = false;
std::string lastExclusiveName;

// While set, no range is copied inside the file system (as between two file systems), and a
// copy goes through the program's buffer; while failingReads is a file, reading it fails; the
// next read of shortRead gives 10 bytes at most, as a system may.
bool refuseCopyRanges = false;
int failingReads = -1;
int shortRead = -1;

extern "C" ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
  if (fd == shortRead) {
    shortRead = -1;
    length = std::min<size_t>(length, 10);
  } else if (fd == failingReads) {
    errno = EIO;
    return -1;
  }
  static const auto next =
      reinterpret_cast<ssize_t (*)(int, void*, size_t, off_t)>(::dlsym(RTLD_NEXT, "pread"));
  return next(fd, buffer, length, offset);
}

extern "C" ssize_t copy_file_range(int from, off_t* fromOffset, int to, off_t* toOffset,
                                   size_t length, unsigned flags) {
  if (refuseCopyRanges) {
    errno = EXDEV;
    return -1;
  }
  static const auto next =
      reinterpret_cast<ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned)>(
          ::dlsym(RTLD_NEXT, "copy_file_range"));
  return next(from, fromOffset, to, toOffset, length, flags);
}

extern "C" int openat(int directory, const char* path, int flags, ...) {
  mode_t mode = 0;
  if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
    va_list arguments;
    va_start(arguments, flags);
    mode = va_arg(arguments, mode_t);
    va_end(arguments);
  }
  if (refuseUnnamedFiles && (flags & O_TMPFILE) == O_TMPFILE) {
    errno = EOPNOTSUPP;
    return -1;
  }
  if ((flags & O_EXCL) != 0) {
    lastExclusiveName = path;
  }
  static const auto next =
      reinterpret_cast<int (*)(int, const char*, int, ...)>(::dlsym(RTLD_NEXT, "openat"));
  return next(directory, path, flags, mode);
}

// While set, the look at this name by its directory is followed at once by the file "other" of
// that directory renamed over it, as someone may between a look and an open.
const char* swapAfterLook = nullptr;

extern "C" int fstatat(int directory, const char* path, struct stat* status, int flags) {
  static const auto next =
      reinterpret_cast<int (*)(int, const char*, struct stat*, int)>(::dlsym(RTLD_NEXT, "fstatat"));
  const int looked = next(directory, path, status, flags);
  if (swapAfterLook != nullptr && std::strcmp(path, swapAfterLook) == 0) {
    swapAfterLook = nullptr;
    ::renameat(directory, "other", directory, path);
  }
  return looked;
}

// While set, an unnamed file cannot be linked by its descriptor alone (linkat with
// AT_EMPTY_PATH), as for an ordinary user on kernels before 6.10.
bool refuseDirectLinks = false;

extern "C" int linkat(int fromDirectory, const char* from, int toDirectory, const char* to,
                      int flags) {
  if (refuseDirectLinks && (flags & AT_EMPTY_PATH) != 0) {
    errno = ENOENT;
    return -1;
  }
  static const auto next = reinterpret_cast<int (*)(int, const char*, int, const char*, int)>(
      ::dlsym(RTLD_NEXT, "linkat"));
  return next(fromDirectory, from, toDirectory, to, flags);
}

// While set, this extended attribute changes between the listing that named it and its read:
// it vanishes, or its size is told as 0 once and then it holds more.
enum class AttributeChange { kVanishes, kGrows };
struct {
  const char* name = nullptr;
  AttributeChange change = AttributeChange::kVanishes;
} changingAttribute;

extern "C" ssize_t fgetxattr(int fd, const char* name, void* value, size_t size) {
  if (changingAttribute.name != nullptr && std::strcmp(name, changingAttribute.name) == 0) {
    if (changingAttribute.change == AttributeChange::kVanishes) {
      errno = ENODATA;
      return -1;
    }
    if (size == 0) {
      changingAttribute.name = nullptr;
      return 0;
    }
  }
  static const auto next = reinterpret_cast<ssize_t (*)(int, const char*, void*, size_t)>(
      ::dlsym(RTLD_NEXT, "fgetxattr"));
  return next(fd, name, value, size);
}

namespace tunewright::platform {
namespace {

namespace fs = std::filesystem;

// The scratch directory, held open as a scan holds one.
class ScratchDirectory : public testing::ScratchDirectory {
 protected:
  void SetUp() override {
    testing::ScratchDirectory::SetUp();
    ASSERT_EQ(directory_.open(root_.c_str()), DirectoryOpening::kOpened);
  }

  Directory directory_;
};

const unsigned char kImage[] = {'n', 'e', 'w', 0, 1, 2};
const Piece kImagePiece = Piece::ofBytes(kImage, sizeof kImage);
const Pieces kImagePieces(&kImagePiece, 1);
const std::string kImageBytes(reinterpret_cast<const char*>(kImage), sizeof kImage);

// A new output at relativePath in directory, made as the file job makes one.
WriteOutcome create(const Directory& directory, const char* relativePath) {
  Output output;
  const OutputState place = output.locate(directory, relativePath);
  return place == OutputState::kNothing ? output.create(kImagePieces, {.permissions = 0666})
                                        : WriteOutcome::kCannotCreate;
}

// What is at relativePath replaced, as -f (or with followLink, -o) replaces it.
WriteOutcome replace(const Directory& directory, const char* relativePath,
                     bool followLink = false) {
  Output output;
  output.locate(directory, relativePath);
  output.examine(followLink);
  return output.replace(kImagePieces, output.found(), {.permissions = 0666});
}

// Runs the action with a file-size limit of zero, as on a full disk.
template <typename Action>
auto withNoRoomToWrite(Action action) {
  struct rlimit saved;
  ::getrlimit(RLIMIT_FSIZE, &saved);
  struct rlimit none = saved;
  none.rlim_cur = 0;
  const auto previous = ::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &none);
  auto result = action();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  ::signal(SIGXFSZ, previous);
  return result;
}

using ReadFile = ScratchDirectory;

TEST_F(ReadFile, ReadsAtMostTheCapacityThroughTheDirectoryANamedFileLiesIn) {
  fs::create_directory(path("d"));
  write("d/x.fxp", std::string(3000, 'a'));
  unsigned char buffer[2048];
  FileIdentity identity;
  Directory parent;
  const std::string backslashed = root_.string() + "\\d\\x.fxp";
  const char* name = parent.openParentOf(backslashed.c_str());
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, "x.fxp");
  EXPECT_EQ(parent.readFile(name, EntryKind::kUnknown, buffer, 2048, identity), 2048);
  EXPECT_EQ(identity.size, 3000);
  write("short.fxp", "abc");
  EXPECT_EQ(directory_.readFile("short.fxp", EntryKind::kFile, buffer, 2048, identity), 3);
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
  write("empty.fxp", "");
  EXPECT_EQ(directory_.readFile("empty.fxp", EntryKind::kFile, buffer, 2048, identity), 0);
}

TEST_F(ReadFile, RefusesAnythingButARegularFileBeforeOpeningIt) {
  unsigned char buffer[16];
  FileIdentity identity;
  fs::create_directory(path("dir.fxp"));
  ASSERT_EQ(::mkfifo(path("pipe.fxp").c_str(), 0600), 0);
  write("target", "xyz");
  fs::create_symlink(path("target"), path("link.fxp"));
  fs::create_symlink("/dev/zero", path("zero.fxp"));
  // A writer waiting for a reader stays waiting: the FIFO is never opened.
  const pid_t writer = ::fork();
  if (writer == 0) {
    ::open(path("pipe.fxp").c_str(), O_WRONLY);
    ::_exit(0);
  }
  struct Case {
    const char* name;
    EntryKind kind;
    int32_t expected;
  };
  for (const Case& c :
       {Case{"missing.fxp", EntryKind::kUnknown, -1}, Case{"dir.fxp", EntryKind::kUnknown, -1},
        Case{"pipe.fxp", EntryKind::kUnknown, -1}, Case{"pipe.fxp", EntryKind::kSpecial, -1},
        Case{"zero.fxp", EntryKind::kLink, -1},
        Case{"link.fxp", EntryKind::kLink, 3},  // a link to a file is followed
        // ... but not a name the listing called a file: it changed since.
        Case{"link.fxp", EntryKind::kFile, -1}}) {
    EXPECT_EQ(directory_.readFile(c.name, c.kind, buffer, 16, identity), c.expected) << c.name;
  }
#if TUNEWRIGHT_HAVE_O_PATH
  // Put in the place of a file between the listing and the open: looked at, never opened.
  EXPECT_EQ(directory_.readFile("pipe.fxp", EntryKind::kFile, buffer, 16, identity), -1);
#endif
  // Another file put in its place after the look is never read as the file looked at: the file
  // opened is the one looked at (O_PATH), or the read is refused.
  write("other", "newer");
  swapAfterLook = "target";
  EXPECT_NE(directory_.readFile("target", EntryKind::kFile, buffer, 16, identity), 5);
  swapAfterLook = nullptr;
  int status = 0;
  ::usleep(200000);  // a writer released ends at once
  EXPECT_EQ(::waitpid(writer, &status, WNOHANG), 0) << "the FIFO was opened";
  ::kill(writer, SIGKILL);
  ::waitpid(writer, &status, 0);
}

TEST(ReadNamedFile, ReadsAFileThatReportsNoSizeToItsEnd) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);  // size 0, whatever it holds
  const std::string expected{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(expected.empty());
  constexpr int32_t kCapacity = 4096;
  unsigned char buffer[kCapacity];
  FileIdentity identity;
  Directory proc;
  const char* name = proc.openParentOf("/proc/self/cmdline");
  ASSERT_NE(name, nullptr);
  const int32_t length = proc.readFile(name, EntryKind::kUnknown, buffer, kCapacity, identity);
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::string(buffer, buffer + length), expected);
}

// A path the system refuses as too long is no directory and no file: nothing to scan or read.
TEST(NativePath, APathLongerThanTheSystemTakesIsMissing) {
  const std::string longest(PATH_MAX, 'a');
  Directory directory;
  EXPECT_FALSE(pathExists(longest.c_str()));
  EXPECT_EQ(directory.open(longest.c_str()), DirectoryOpening::kMissing);
  EXPECT_EQ(directory.openParentOf((longest + "/x.fxp").c_str()), nullptr);
}

using ListDirectory = ScratchDirectory;

TEST_F(ListDirectory, VisitsEveryEntryWithWhatItIsWithoutFollowingLinks) {
  fs::create_directory(path("sub"));
  write("a.fxp", "");
  fs::create_directory_symlink(path("sub"), path("link"));
  ASSERT_EQ(::mkfifo(path("pipe").c_str(), 0600), 0);
  for (const bool hidden : {false, true}) {
    hideEntryTypes = hidden;
    std::set<std::pair<std::string, EntryKind>> seen;
    auto visit = [&](const DirectoryEntry& entry) {
      seen.emplace(entry.name, entry.kind);
      return true;
    };
    EXPECT_EQ(directory_.list(visit), ListOutcome::kFinished);
    hideEntryTypes = false;
    EXPECT_EQ(seen, (std::set<std::pair<std::string, EntryKind>>{{".", EntryKind::kDirectory},
                                                                 {"..", EntryKind::kDirectory},
                                                                 {"a.fxp", EntryKind::kFile},
                                                                 {"sub", EntryKind::kDirectory},
                                                                 {"link", EntryKind::kLink},
                                                                 {"pipe", EntryKind::kSpecial}}))
        << (hidden ? "without entry types" : "with entry types");
  }
}

TEST_F(ListDirectory, StopsWhenTheVisitorSaysSoAndEntersNoLinkOrFile) {
  int visits = 0;
  auto stopAtOnce = [&](const DirectoryEntry&) {
    ++visits;
    return false;
  };
  EXPECT_EQ(directory_.list(stopAtOnce), ListOutcome::kStopped);
  EXPECT_EQ(visits, 1);
  fs::create_directory(path("sub"));
  fs::create_directory_symlink(path("sub"), path("link"));
  write("file", "");
  Directory opened;
  EXPECT_EQ(opened.open(path("link").c_str()), DirectoryOpening::kOpened);  // named: followed
  for (const char* name : {"link", "file", "missing"}) {
    EXPECT_EQ(opened.openSubdirectory(directory_, name), DirectoryOpening::kMissing) << name;
    EXPECT_FALSE(opened.isOpen()) << name;
  }
  EXPECT_EQ(opened.openSubdirectory(directory_, "sub"), DirectoryOpening::kOpened);
  EXPECT_EQ(opened.open(path("missing").c_str()), DirectoryOpening::kMissing);
  EXPECT_EQ(Directory().list(stopAtOnce), ListOutcome::kFailed);
}

using WriteOutput = ScratchDirectory;

TEST_F(WriteOutput, ExamineTellsWhatIsAtTheNameWithoutFollowingLinksUnlessAsked) {
  write("file.fxp", "old");
  write("locked.fxp", "old");
  fs::permissions(path("locked.fxp"), fs::perms::owner_read);
  fs::create_directory(path("dir.fxp"));
  ASSERT_EQ(::mkfifo(path("pipe.fxp").c_str(), 0600), 0);
  fs::create_symlink("file.fxp", path("link.fxp"));
  fs::create_symlink(path("dir.fxp"), path("dirlink"));
  const std::string tooLong(256, 'n');
  struct Case {
    std::string name;
    bool followLink;
    OutputState expected;
  };
  for (const Case& c :
       {Case{"missing.fxp", false, OutputState::kNothing},
        Case{"file.fxp", false, OutputState::kFile},
        Case{"locked.fxp", false, OutputState::kReadOnlyFile},
        Case{"dir.fxp", false, OutputState::kNotAFile},
        Case{"pipe.fxp", false, OutputState::kNotAFile},
        Case{"link.fxp", false, OutputState::kLink}, Case{"link.fxp", true, OutputState::kFile},
        Case{tooLong, false, OutputState::kNameTooLong}}) {
    Output output;
    ASSERT_EQ(output.locate(directory_, c.name.c_str()), OutputState::kNothing) << c.name;
    EXPECT_EQ(output.examine(c.followLink), c.expected) << c.name;
  }
  // The directories of a prefix are never reached through a link.
  for (const char* relative : {"missing/x.fxp", "dirlink/x.fxp", "file.fxp/x.fxp"}) {
    Output output;
    EXPECT_EQ(output.locate(directory_, relative), OutputState::kNoDirectory) << relative;
  }
  for (const char* relative : {"dir.fxp/", "dir.fxp/.", "."}) {  // no name of an entry
    Output output;
    EXPECT_EQ(output.locate(directory_, relative), OutputState::kUnreachable) << relative;
  }
  Output output;
  EXPECT_EQ(output.locate(directory_, "dir.fxp\\.//x.fxp"), OutputState::kNothing);
}

TEST_F(WriteOutput, CreatesANewFileNeverReplacingAnything) {
  fs::create_directory(path("sub"));
  EXPECT_EQ(create(directory_, "sub\\out.fxp"), WriteOutcome::kWritten);
  EXPECT_EQ(read("sub/out.fxp"), kImageBytes);
  write("old.fxp", "precious");
  EXPECT_EQ(create(directory_, "old.fxp"), WriteOutcome::kExists);
  EXPECT_EQ(create(directory_, std::string(256, 'n').c_str()), WriteOutcome::kNameTooLong);
  EXPECT_EQ(read("old.fxp"), "precious");
  EXPECT_EQ(names(), (std::set<std::string>{"sub", "old.fxp"}));
}

TEST_F(WriteOutput, ReplacesAFileKeepingItsPermissions) {
  write("out.fxp", "old contents that are longer");
  const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(path("out.fxp"), mode);
  EXPECT_EQ(replace(directory_, "out.fxp"), WriteOutcome::kWritten);
  EXPECT_EQ(read("out.fxp"), kImageBytes);
  EXPECT_EQ(fs::status(path("out.fxp")).permissions(), mode);
  EXPECT_EQ(names(), std::set<std::string>{"out.fxp"});
}

TEST_F(WriteOutput, ALinkFollowedHasItsTargetReplacedAndOneNotFollowedIsReplacedItself) {
  fs::create_directory(path("real"));
  write("real/x.fxp", "old");
  fs::create_symlink("real/x.fxp", path("preset.fxp"));
  EXPECT_EQ(replace(directory_, "preset.fxp", true), WriteOutcome::kWritten);
  EXPECT_TRUE(fs::is_symlink(path("preset.fxp")));
  EXPECT_EQ(read("real/x.fxp"), kImageBytes);
  write("real/notes.txt", "notes");
  fs::create_symlink("real/notes.txt", path("output.fxp"));
  EXPECT_EQ(replace(directory_, "output.fxp"), WriteOutcome::kWritten);
  EXPECT_FALSE(fs::is_symlink(path("output.fxp")));
  EXPECT_EQ(read("output.fxp"), kImageBytes);
  EXPECT_EQ(read("real/notes.txt"), "notes");
  EXPECT_EQ(names(), (std::set<std::string>{"real", "preset.fxp", "output.fxp"}));
}

TEST_F(WriteOutput, AnAttributeThatChangesMeanwhileIsCopiedAsItWasToldOrPassedOver) {
  const std::string big(1024, 'b');
  for (const AttributeChange change : {AttributeChange::kVanishes, AttributeChange::kGrows}) {
    write("room.fxp", "old");
    const std::string file = path("room.fxp");
    if (::setxattr(file.c_str(), "user.kept", "v", 1, 0) != 0 ||
        ::setxattr(file.c_str(), "user.changing", big.data(), big.size(), 0) != 0) {
      GTEST_SKIP() << "no user attributes here";
    }
    changingAttribute = {"user.changing", change};
    EXPECT_EQ(replace(directory_, "room.fxp"), WriteOutcome::kWritten);
    changingAttribute = {};
    char value[8192];
    EXPECT_EQ(::getxattr(file.c_str(), "user.kept", value, sizeof value), 1);
    // Gone, or empty as its size was told: never bytes it did not hold.
    EXPECT_EQ(::getxattr(file.c_str(), "user.changing", value, sizeof value),
              change == AttributeChange::kVanishes ? -1 : 0);
  }
}

TEST_F(WriteOutput, AFileThatChangedSinceItWasLookedAtIsNotReplaced) {
  write("preset.fxp", "as read");
  Output output;
  output.locate(directory_, "preset.fxp");
  output.examine(true);
  const FileIdentity read = output.found();
  write("preset.fxp", "saved meanwhile");
  EXPECT_EQ(output.replace(kImagePieces, read, read), WriteOutcome::kChanged);
  EXPECT_EQ(this->read("preset.fxp"), "saved meanwhile");
  EXPECT_EQ(names(), std::set<std::string>{"preset.fxp"});
}

// How many files the process holds open.
std::ptrdiff_t openFiles() {
  return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
}

TEST_F(WriteOutput, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  write("old.fxp", "precious");
  const std::ptrdiff_t held = openFiles();
  EXPECT_EQ(withNoRoomToWrite([&] { return replace(directory_, "old.fxp"); }),
            WriteOutcome::kWriteFailed);
  EXPECT_EQ(read("old.fxp"), "precious");
  EXPECT_EQ(withNoRoomToWrite([&] { return create(directory_, "new.fxp"); }),
            WriteOutcome::kWriteFailed);
  EXPECT_EQ(names(), std::set<std::string>{"old.fxp"});
  EXPECT_EQ(openFiles(), held);  // nor a temporary held open
}

// Restores the real calls when the test's own have done their work.
struct SavedFileCalls {
  FileCalls saved = fileCalls;
  ~SavedFileCalls() { fileCalls = saved; }
};

int fdFails(int) {
  errno = EIO;
  return -1;
}
int renameFails(int, const char*, int, const char*) {
  errno = EIO;
  return -1;
}
int renameUnsupported(int, const char*, int, const char*) {
  errno = EINVAL;  // no renameat2 on this file system
  return -1;
}

TEST_F(WriteOutput, AFailedFlushOrRenameKeepsTheOldFileAndRemovesTheTemporary) {
  for (const bool flush : {true, false}) {
    write("old.fxp", "precious");
    WriteOutcome outcome;
    {
      const SavedFileCalls restore;
      (flush ? fileCalls.fsync : fileCalls.close) = fdFails;
      if (!flush) {
        fileCalls.rename = renameFails;
      }
      outcome = replace(directory_, "old.fxp");
    }
    EXPECT_EQ(outcome, WriteOutcome::kWriteFailed) << flush;
    EXPECT_EQ(read("old.fxp"), "precious") << flush;
    EXPECT_EQ(names(), std::set<std::string>{"old.fxp"}) << flush;
  }
}

TEST_F(WriteOutput, ANewFileWhoseCloseFailsIsTakenAwayAgain) {
  {
    const SavedFileCalls restore;
    fileCalls.close = fdFails;
    EXPECT_EQ(create(directory_, "new.fxp"), WriteOutcome::kWriteFailed);
  }
  EXPECT_EQ(names(), std::set<std::string>{});
}

TEST_F(WriteOutput, AnUnnamedFileIsNamedThroughProcWhereItCannotBeLinkedDirectly) {
  // In a process of its own: once a direct link fails, the program stops trying them.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        write("old.fxp", "precious");
        refuseDirectLinks = true;
        const bool named = create(directory_, "new.fxp") == WriteOutcome::kWritten &&
                           create(directory_, "old.fxp") == WriteOutcome::kExists &&
                           read("new.fxp") == kImageBytes && read("old.fxp") == "precious" &&
                           names() == (std::set<std::string>{"old.fxp", "new.fxp"});
        fs::remove_all(root_);
        std::exit(named ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, "fast");
}

TEST_F(WriteOutput, WithoutUnnamedFilesANewFileTakesANamedTemporary) {
  write("old.fxp", "precious");
  const FileCalls real = fileCalls;
  struct Case {
    const char* name;
    int (*renameNoReplace)(int, const char*, int, const char*);
    int (*close)(int);
    WriteOutcome expected;
  };
  const Case cases[] = {
      {"old.fxp", real.renameNoReplace, real.close, WriteOutcome::kExists},
      {"new.fxp", real.renameNoReplace, real.close, WriteOutcome::kWritten},
      // Without renameat2, a hard link, which never replaces either.
      {"old.fxp", renameUnsupported, real.close, WriteOutcome::kExists},
      {"linked.fxp", renameUnsupported, real.close, WriteOutcome::kWritten},
      // Whole, but not named: a failed write, not a file that could not be opened.
      {"refused.fxp", renameFails, real.close, WriteOutcome::kWriteFailed},
      {"unclosed.fxp", real.renameNoReplace, fdFails, WriteOutcome::kWriteFailed},
  };
  refuseUnnamedFiles = true;
  const mode_t umask = ::umask(0);  // the process's, which the program reads once
  ::umask(umask);
  for (const Case& c : cases) {
    const SavedFileCalls restore;
    fileCalls.renameNoReplace = c.renameNoReplace;
    fileCalls.close = c.close;
    EXPECT_EQ(create(directory_, c.name), c.expected) << c.name;
  }
  refuseUnnamedFiles = false;
  EXPECT_EQ(read("old.fxp"), "precious");
  for (const char* name : {"new.fxp", "linked.fxp"}) {
    EXPECT_EQ(read(name), kImageBytes) << name;
    EXPECT_EQ(fs::status(path(name)).permissions(), static_cast<fs::perms>(0666 & ~umask)) << name;
  }
  EXPECT_EQ(names(), (std::set<std::string>{"old.fxp", "new.fxp", "linked.fxp"}));
}

TEST_F(WriteOutput, AnInterruptionRemovesTheTemporaryWhereItWasMade) {
  fs::create_directories(path("a/longer/directory"));
  write("a/longer/directory/x.fxp", "old");
  write("x.fxp", "old");
  for (const int signalNumber : {SIGINT, SIGQUIT}) {
    EXPECT_EXIT(
        {
          installInterruptHandlers();
          replace(directory_, "a/longer/directory/x.fxp");
          // Before the shorter one's rename; the scan's directory has moved meanwhile.
          fs::rename(root_, root_.string() + ".moved");
          static int raised;
          raised = signalNumber;
          fileCalls.fsync = [](int) { return ::raise(raised); };
          replace(directory_, "x.fxp");
        },
        ::testing::KilledBySignal(signalNumber), "");
    fs::rename(root_.string() + ".moved", root_);
    EXPECT_EQ(names(), (std::set<std::string>{"a", "x.fxp"})) << signalNumber;
    EXPECT_EQ(read("x.fxp"), "old");
  }
}

std::string callLog;

TEST_F(WriteOutput, AReplacementReachesTheDiskBeforeTheRenameAndTheRenameAfterIt) {
  write("old.fxp", "precious");
  callLog.clear();
  {
    const SavedFileCalls restore;
    fileCalls.fsync = [](int fd) {
      struct stat status;
      ::fstat(fd, &status);
      callLog += S_ISDIR(status.st_mode) ? "sync-directory " : "sync-file ";
      return ::fsync(fd);
    };
    fileCalls.rename = [](int from, const char* fromName, int to, const char* toName) {
      callLog += "rename ";
      return ::renameat(from, fromName, to, toName);
    };
    EXPECT_EQ(replace(directory_, "old.fxp"), WriteOutcome::kWritten);
    EXPECT_EQ(callLog, "sync-file rename sync-directory ");
    // A new file is not flushed one by one: its original is safe whatever becomes of it.
    callLog.clear();
    EXPECT_EQ(create(directory_, "new.fxp"), WriteOutcome::kWritten);
    EXPECT_EQ(callLog, "");
  }
}

TEST_F(WriteOutput, AnOutputOfPiecesHoldsEachInOrderWhetherTheSystemCopiesARangeOrNot) {
  std::string source(3 << 20, '\0');
  for (std::size_t i = 0; i < source.size(); ++i) {
    source[i] = static_cast<char>((i * 7919) % 251);
  }
  write("song.dawproject", source);
  InputFile file = directory_.openFile("song.dawproject", EntryKind::kFile);
  ASSERT_TRUE(file.isOpen());
  const unsigned char head[] = {'h', 'e', 'a', 'd'};
  const Piece pieces[] = {Piece::ofBytes(head, sizeof head), Piece::ofFile(file, 1000, 5 << 19),
                          Piece::ofFile(file, 0, 3), Piece::ofBytes(head, 1),
                          Piece::ofFile(file, 7, 1)};
  const std::string expected =
      "head" + source.substr(1000, 5 << 19) + source.substr(0, 3) + "h" + source.substr(7, 1);
  for (const bool buffered : {false, true}) {
    refuseCopyRanges = buffered;
    const char* name = buffered ? "buffered.dawproject" : "copied.dawproject";
    Output output;
    ASSERT_EQ(output.locate(directory_, name), OutputState::kNothing);
    EXPECT_EQ(output.create(pieces, file.identity()), WriteOutcome::kWritten) << name;
    refuseCopyRanges = false;
    EXPECT_EQ(read(name), expected) << name;
    EXPECT_EQ(output.examine(false), OutputState::kFile);
    EXPECT_TRUE(output.holds(pieces)) << name;
  }
  // A range that cannot be read is no output at all.
  refuseCopyRanges = true;
  failingReads = static_cast<int>(InputFileAccess::handle(file));
  Output output;
  ASSERT_EQ(output.locate(directory_, "unread.dawproject"), OutputState::kNothing);
  EXPECT_EQ(output.create(pieces, file.identity()), WriteOutcome::kWriteFailed);
  // Nor is a file known to hold the pieces when they cannot be read again.
  ASSERT_EQ(output.locate(directory_, "copied.dawproject"), OutputState::kNothing);
  ASSERT_EQ(output.examine(false), OutputState::kFile);
  EXPECT_FALSE(output.holds(pieces));
  // A short read is followed by the rest; a read that fails part way is no short file.
  unsigned char room[100];
  for (const bool failing : {false, true}) {
    failingReads = failing ? static_cast<int>(InputFileAccess::handle(file)) : -1;
    shortRead = static_cast<int>(InputFileAccess::handle(file));
    EXPECT_EQ(file.read(0, room, sizeof room), failing ? -1 : 100);
  }
  EXPECT_EQ(std::string(room, room + sizeof room), source.substr(0, sizeof room));
  failingReads = -1;
  refuseCopyRanges = false;
  EXPECT_FALSE(fs::exists(path("unread.dawproject")));
}

TEST_F(WriteOutput, ATemporaryNameTakenBySomeoneElseIsPassedOverAndLeftAlone) {
  refuseUnnamedFiles = true;
  ASSERT_EQ(create(directory_, "first.fxp"), WriteOutcome::kWritten);
  // The next name the program will try for a temporary, made by another beforehand.
  const std::string used = lastExclusiveName;
  const std::size_t dash = used.rfind('-');
  const std::string next =
      used.substr(0, dash + 1) + std::to_string(std::stoul(used.substr(dash + 1)) + 1) + ".tmp";
  write(next, "someone's");
  EXPECT_EQ(create(directory_, "second.fxp"), WriteOutcome::kWritten);
  EXPECT_EQ(read(next), "someone's");
  EXPECT_EQ(names(), (std::set<std::string>{"first.fxp", "second.fxp", next}));
  // A hundred names taken one after the other: no file is made, and the program goes on.
  const unsigned long after = std::stoul(next.substr(dash + 1)) + 2;  // one more for "second"
  for (unsigned long i = after; i < after + 100; ++i) {
    write(used.substr(0, dash + 1) + std::to_string(i) + ".tmp", "someone's");
  }
  clearFailure();
  EXPECT_EQ(create(directory_, "third.fxp"), WriteOutcome::kCannotCreate);
  EXPECT_EQ(failureReason(), std::strerror(EEXIST));
  EXPECT_EQ(names().size(), 103u);
  refuseUnnamedFiles = false;
}

TEST_F(ListDirectory, EveryDirectoryOpenedIsClosedAgain) {
  fs::create_directory(path("sub"));
  const auto before = openFiles();
  for (int i = 0; i < 50; ++i) {
    Directory directory;
    ASSERT_EQ(directory.openSubdirectory(directory_, "sub"), DirectoryOpening::kOpened);
    Directory moved = std::move(directory);
    Directory named;
    named.open(path("sub").c_str());
    moved = std::move(named);
  }
  EXPECT_EQ(openFiles(), before);
}

}  // namespace
}  // namespace tunewright::platform
