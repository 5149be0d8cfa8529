// The POSIX file layer: what it promises beyond plain system calls (backslash paths, regular
// files only, safe replacement).

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_file_calls.h"

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
// and new files take the named way.
bool refuseUnnamedFiles = false;

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
  static const auto next =
      reinterpret_cast<int (*)(int, const char*, int, ...)>(::dlsym(RTLD_NEXT, "openat"));
  return next(directory, path, flags, mode);
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

namespace tunewright::platform {
namespace {

namespace fs = std::filesystem;

class ScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tunewright-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    root_ = pattern;
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string path(const std::string& name) const { return (root_ / name).string(); }

  void write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path(name), std::ios::binary) << bytes;
  }
  std::string read(const std::string& name) const {
    std::ifstream in(path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }
  std::set<std::string> names() const {
    std::set<std::string> result;
    for (const auto& entry : fs::directory_iterator(root_)) {
      result.insert(entry.path().filename().string());
    }
    return result;
  }

  fs::path root_;
};

const unsigned char kImage[] = {'n', 'e', 'w', 0, 1, 2};
constexpr int32_t kImageLength = sizeof kImage;
const std::string kImageBytes(reinterpret_cast<const char*>(kImage), sizeof kImage);

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

TEST_F(ReadFile, ReadsAtMostTheCapacityThroughBackslashPaths) {
  fs::create_directory(path("d"));
  write("d/x.fxp", std::string(3000, 'a'));
  unsigned char buffer[2048];
  const std::string backslashed = root_.string() + "\\d\\x.fxp";
  EXPECT_EQ(readFile(backslashed.c_str(), buffer, 2048), 2048);
  write("d/short.fxp", "abc");
  EXPECT_EQ(readFile(path("d/short.fxp").c_str(), buffer, 2048), 3);
  EXPECT_EQ(std::string(buffer, buffer + 3), "abc");
  write("empty.fxp", "");
  EXPECT_EQ(readFile(path("empty.fxp").c_str(), buffer, 2048), 0);
}

TEST_F(ReadFile, RefusesAnythingButARegularFileWithoutBlocking) {
  unsigned char buffer[16];
  fs::create_directory(path("dir.fxp"));
  ASSERT_EQ(::mkfifo(path("pipe.fxp").c_str(), 0600), 0);
  write("target", "xyz");
  fs::create_symlink(path("target"), path("link.fxp"));
  EXPECT_EQ(readFile(path("missing.fxp").c_str(), buffer, 16), -1);
  EXPECT_EQ(readFile(path("dir.fxp").c_str(), buffer, 16), -1);
  EXPECT_EQ(readFile(path("pipe.fxp").c_str(), buffer, 16), -1);
  EXPECT_EQ(readFile("/dev/zero", buffer, 16), -1);
  EXPECT_EQ(readFile(path("link.fxp").c_str(), buffer, 16), 3);  // links are followed
}

TEST_F(ReadFile, ReadsAFileThatReportsNoSizeToItsEnd) {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);  // size 0, whatever it holds
  const std::string expected{std::istreambuf_iterator<char>(in), {}};
  ASSERT_FALSE(expected.empty());
  constexpr int32_t kCapacity = 4096;
  unsigned char buffer[kCapacity];
  const int32_t length = readFile("/proc/self/cmdline", buffer, kCapacity);
  ASSERT_GT(length, 0);
  EXPECT_EQ(std::string(buffer, buffer + length), expected);
}

// PATH_MAX counts the terminating null: a path of that many characters has no room for it.
// (The sanitizer build catches a copy one byte too long.)
TEST(NativePath, APathOfPathMaxCharactersIsRefused) {
  const std::string longest(PATH_MAX, 'a');
  unsigned char buffer[16];
  auto visit = [](const DirectoryEntry&) { return true; };
  EXPECT_FALSE(pathExists(longest.c_str()));
  EXPECT_FALSE(isDirectory(longest.c_str()));
  EXPECT_EQ(listDirectory(longest.c_str(), visit), ListOutcome::kNothingListed);
  EXPECT_EQ(readFile(longest.c_str(), buffer, 16), -1);
}

using ListDirectory = ScratchDirectory;

TEST_F(ListDirectory, VisitsEveryEntryAndTellsDirectoriesButNotLinksToThem) {
  fs::create_directory(path("sub"));
  write("a.fxp", "");
  fs::create_directory_symlink(path("sub"), path("link"));
  for (const bool hidden : {false, true}) {
    hideEntryTypes = hidden;
    std::set<std::pair<std::string, bool>> seen;
    auto visit = [&](const DirectoryEntry& entry) {
      seen.emplace(entry.name, entry.isDirectory);
      return true;
    };
    const std::string backslashed = root_.string() + "\\sub\\..";
    EXPECT_EQ(listDirectory(backslashed.c_str(), visit), ListOutcome::kFinished);
    hideEntryTypes = false;
    EXPECT_EQ(seen,
              (std::set<std::pair<std::string, bool>>{
                  {".", true}, {"..", true}, {"a.fxp", false}, {"sub", true}, {"link", false}}))
        << (hidden ? "without entry types" : "with entry types");
  }
}

TEST_F(ListDirectory, StopsWhenTheVisitorSaysSoAndReportsWhatCannotBeListed) {
  int visits = 0;
  auto stopAtOnce = [&](const DirectoryEntry&) {
    ++visits;
    return false;
  };
  EXPECT_EQ(listDirectory(root_.c_str(), stopAtOnce), ListOutcome::kStopped);
  EXPECT_EQ(visits, 1);
  EXPECT_EQ(listDirectory(path("missing").c_str(), stopAtOnce), ListOutcome::kNothingListed);
  EXPECT_TRUE(isDirectory(root_.c_str()));
  EXPECT_FALSE(isDirectory(path("missing").c_str()));
}

using WriteFileSafely = ScratchDirectory;

TEST_F(WriteFileSafely, CreatesANewFile) {
  const std::string backslashed = root_.string() + "\\out.fxp";
  EXPECT_EQ(writeFileSafely(backslashed.c_str(), kImage, kImageLength, WriteMode::kReplace),
            WriteOutcome::kWritten);
  EXPECT_EQ(read("out.fxp"), kImageBytes);
  EXPECT_EQ(names(), std::set<std::string>{"out.fxp"});
}

TEST_F(WriteFileSafely, ReplacesAnExistingFileKeepingItsPermissions) {
  write("out.fxp", "old contents that are longer");
  fs::permissions(path("out.fxp"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(writeFileSafely(path("out.fxp").c_str(), kImage, kImageLength, WriteMode::kReplace),
            WriteOutcome::kWritten);
  EXPECT_EQ(read("out.fxp"), kImageBytes);
  EXPECT_EQ(fs::status(path("out.fxp")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(names(), std::set<std::string>{"out.fxp"});
}

TEST_F(WriteFileSafely, ReplacesTheTargetOfASymbolicLink) {
  fs::create_directory(path("real"));
  write("real/x.fxp", "old");
  fs::create_symlink(path("real/x.fxp"), path("link.fxp"));
  EXPECT_EQ(writeFileSafely(path("link.fxp").c_str(), kImage, kImageLength, WriteMode::kReplace),
            WriteOutcome::kWritten);
  EXPECT_TRUE(fs::is_symlink(path("link.fxp")));
  EXPECT_EQ(read("real/x.fxp"), kImageBytes);
  EXPECT_EQ(names(), (std::set<std::string>{"real", "link.fxp"}));
}

TEST_F(WriteFileSafely, LeavesWhatIsNotARegularFileAlone) {
  fs::create_directory(path("dir.fxp"));
  ASSERT_EQ(::mkfifo(path("pipe.fxp").c_str(), 0600), 0);
  fs::create_symlink(path("nowhere"), path("dangling.fxp"));
  for (const char* name : {"dir.fxp", "pipe.fxp", "dangling.fxp", "missing/x.fxp"}) {
    EXPECT_EQ(writeFileSafely(path(name).c_str(), kImage, kImageLength, WriteMode::kReplace),
              WriteOutcome::kCannotCreate)
        << name;
  }
  EXPECT_TRUE(fs::is_directory(path("dir.fxp")));
  EXPECT_TRUE(fs::is_fifo(path("pipe.fxp")));
  EXPECT_EQ(names(), (std::set<std::string>{"dir.fxp", "pipe.fxp", "dangling.fxp"}));
}

TEST_F(WriteFileSafely, AFailedWriteLeavesTheOldFileAndNoTemporary) {
  write("old.fxp", "precious");
  EXPECT_EQ(withNoRoomToWrite([&] {
              return writeFileSafely(path("old.fxp").c_str(), kImage, kImageLength,
                                     WriteMode::kReplace);
            }),
            WriteOutcome::kWriteFailed);
  EXPECT_EQ(read("old.fxp"), "precious");
  EXPECT_EQ(withNoRoomToWrite([&] {
              return writeFileSafely(path("new.fxp").c_str(), kImage, kImageLength,
                                     WriteMode::kCreate);
            }),
            WriteOutcome::kWriteFailed);
  EXPECT_EQ(names(), std::set<std::string>{"old.fxp"});
}

// Restores the real calls when the test's own have done their work.
struct SavedFileCalls {
  FileCalls saved = fileCalls;
  ~SavedFileCalls() { fileCalls = saved; }
};

TEST_F(WriteFileSafely, AFailedFlushCloseOrRenameKeepsTheOldFileAndRemovesTheTemporary) {
  const auto failFd = [](int) {
    errno = EIO;
    return -1;
  };
  const auto failRename = [](const char*, const char*) {
    errno = EIO;
    return -1;
  };
  for (int which = 0; which < 3; ++which) {
    write("old.fxp", "precious");
    WriteOutcome outcome;
    {
      const SavedFileCalls restore;
      (which == 0 ? fileCalls.fsync : fileCalls.close) = failFd;
      if (which == 2) {
        fileCalls.rename = failRename;
      }
      outcome = writeFileSafely(path("old.fxp").c_str(), kImage, kImageLength, WriteMode::kReplace);
    }
    EXPECT_EQ(outcome, WriteOutcome::kWriteFailed) << which;
    EXPECT_EQ(read("old.fxp"), "precious") << which;
    EXPECT_EQ(names(), std::set<std::string>{"old.fxp"}) << which;
  }
}

TEST_F(WriteFileSafely, ANewFileWhoseCloseFailsIsTakenAwayAgain) {
  {
    const SavedFileCalls restore;
    fileCalls.close = [](int) {
      errno = EIO;
      return -1;
    };
    EXPECT_EQ(writeFileSafely(path("new.fxp").c_str(), kImage, kImageLength, WriteMode::kCreate),
              WriteOutcome::kWriteFailed);
  }
  EXPECT_EQ(names(), std::set<std::string>{});
}

TEST_F(WriteFileSafely, AnUnnamedFileIsNamedThroughProcWhereItCannotBeLinkedDirectly) {
  // In a process of its own: once a direct link fails, the program stops trying them.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        write("old.fxp", "precious");
        refuseDirectLinks = true;
        const bool named = writeFileSafely(path("new.fxp").c_str(), kImage, kImageLength,
                                           WriteMode::kCreate) == WriteOutcome::kWritten &&
                           writeFileSafely(path("old.fxp").c_str(), kImage, kImageLength,
                                           WriteMode::kCreate) == WriteOutcome::kExists &&
                           read("new.fxp") == kImageBytes && read("old.fxp") == "precious" &&
                           names() == (std::set<std::string>{"old.fxp", "new.fxp"});
        fs::remove_all(root_);
        std::exit(named ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  GTEST_FLAG_SET(death_test_style, "fast");
}

int renameUnsupported(const char*, const char*) {
  errno = EINVAL;  // no renameat2 on this file system
  return -1;
}
int renameFails(const char*, const char*) {
  errno = EIO;
  return -1;
}
int closeFails(int) {
  errno = EIO;
  return -1;
}

TEST_F(WriteFileSafely, WithoutUnnamedFilesANewFileTakesANamedTemporary) {
  write("old.fxp", "precious");
  const FileCalls real = fileCalls;
  struct Case {
    const char* name;
    int (*renameNoReplace)(const char*, const char*);
    int (*close)(int);
    WriteOutcome expected;
  };
  const Case cases[] = {
      {"old.fxp", real.renameNoReplace, real.close, WriteOutcome::kExists},
      {"new.fxp", real.renameNoReplace, real.close, WriteOutcome::kWritten},
      // Without renameat2, a hard link, which never replaces either.
      {"old.fxp", renameUnsupported, real.close, WriteOutcome::kExists},
      {"linked.fxp", renameUnsupported, real.close, WriteOutcome::kWritten},
      {"refused.fxp", renameFails, real.close, WriteOutcome::kCannotCreate},
      {"unclosed.fxp", real.renameNoReplace, closeFails, WriteOutcome::kWriteFailed},
  };
  refuseUnnamedFiles = true;
  const mode_t umask = ::umask(0);  // the mode asked for shows whole
  for (const Case& c : cases) {
    const SavedFileCalls restore;
    fileCalls.renameNoReplace = c.renameNoReplace;
    fileCalls.close = c.close;
    EXPECT_EQ(writeFileSafely(path(c.name).c_str(), kImage, kImageLength, WriteMode::kCreate),
              c.expected)
        << c.name;
  }
  ::umask(umask);
  refuseUnnamedFiles = false;
  EXPECT_EQ(read("old.fxp"), "precious");
  for (const char* name : {"new.fxp", "linked.fxp"}) {
    EXPECT_EQ(read(name), kImageBytes) << name;
    EXPECT_EQ(fs::status(path(name)).permissions(), static_cast<fs::perms>(0666)) << name;
  }
  EXPECT_EQ(names(), (std::set<std::string>{"old.fxp", "new.fxp", "linked.fxp"}));
}

TEST_F(WriteFileSafely, AnInterruptionRemovesTheTemporaryWhicheverNameCameBefore) {
  fs::create_directories(path("a/longer/directory"));
  write("a/longer/directory/x.fxp", "old");
  write("x.fxp", "old");
  EXPECT_EXIT(
      {
        installInterruptHandlers();
        writeFileSafely(path("a/longer/directory/x.fxp").c_str(), kImage, kImageLength,
                        WriteMode::kReplace);
        fileCalls.fsync = [](int) { return ::raise(SIGINT); };  // before the shorter one's rename
        writeFileSafely(path("x.fxp").c_str(), kImage, kImageLength, WriteMode::kReplace);
      },
      ::testing::KilledBySignal(SIGINT), "");
  EXPECT_EQ(names(), (std::set<std::string>{"a", "x.fxp"}));
  EXPECT_EQ(read("x.fxp"), "old");
}

std::string callLog;

TEST_F(WriteFileSafely, AReplacementReachesTheDiskBeforeTheRenameAndTheRenameAfterIt) {
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
    fileCalls.rename = [](const char* from, const char* to) {
      callLog += "rename ";
      return ::rename(from, to);
    };
    EXPECT_EQ(writeFileSafely(path("old.fxp").c_str(), kImage, kImageLength, WriteMode::kReplace),
              WriteOutcome::kWritten);
    EXPECT_EQ(callLog, "sync-file rename sync-directory ");
    // A new file is not flushed one by one: its original is safe whatever becomes of it.
    callLog.clear();
    EXPECT_EQ(writeFileSafely(path("new.fxp").c_str(), kImage, kImageLength, WriteMode::kCreate),
              WriteOutcome::kWritten);
    EXPECT_EQ(callLog, "");
  }
}

}  // namespace
}  // namespace tunewright::platform
