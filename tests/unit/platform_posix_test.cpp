// The POSIX file layer: what it promises beyond plain system calls (backslash paths, regular
// files only, safe replacement).

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "platform/posix_file_calls.h"

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

using ListDirectory = ScratchDirectory;

TEST_F(ListDirectory, VisitsEveryEntryAndTellsDirectoriesButNotLinksToThem) {
  fs::create_directory(path("sub"));
  write("a.fxp", "");
  fs::create_directory_symlink(path("sub"), path("link"));
  std::set<std::pair<std::string, bool>> seen;
  auto visit = [&](const DirectoryEntry& entry) {
    seen.emplace(entry.name, entry.isDirectory);
    return true;
  };
  const std::string backslashed = root_.string() + "\\sub\\..";
  EXPECT_EQ(listDirectory(backslashed.c_str(), visit), ListOutcome::kFinished);
  EXPECT_EQ(seen,
            (std::set<std::pair<std::string, bool>>{
                {".", true}, {"..", true}, {"a.fxp", false}, {"sub", true}, {"link", false}}));
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

TEST_F(WriteFileSafely, CreatingNeverReplacesAndLeavesNoTemporary) {
  write("old.fxp", "precious");
  EXPECT_EQ(writeFileSafely(path("old.fxp").c_str(), kImage, kImageLength, WriteMode::kCreate),
            WriteOutcome::kExists);
  EXPECT_EQ(writeFileSafely(path("new.fxp").c_str(), kImage, kImageLength, WriteMode::kCreate),
            WriteOutcome::kWritten);
  EXPECT_EQ(read("old.fxp"), "precious");
  EXPECT_EQ(read("new.fxp"), kImageBytes);
  EXPECT_EQ(names(), (std::set<std::string>{"old.fxp", "new.fxp"}));
}

TEST_F(WriteFileSafely, ReadOnlyMeansReadOnlyEvenForRoot) {
  write("locked.fxp", "precious");
  fs::permissions(path("locked.fxp"), fs::perms::owner_read | fs::perms::group_read);
  EXPECT_EQ(writeFileSafely(path("locked.fxp").c_str(), kImage, kImageLength, WriteMode::kReplace),
            WriteOutcome::kCannotCreate);
  EXPECT_EQ(read("locked.fxp"), "precious");
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
