// A whole run in a console window of its own (started from Explorer) and in someone's console,
// with the window's ownership and the wait put in by the test.

#include "app/run.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "preset_builder.h"
#include "test_support.h"

namespace tunewright {
namespace {

namespace fs = std::filesystem;

int waits = 0;

const ConsoleWindow kOwnWindow = {[] { return true; }, [] { ++waits; }};
const ConsoleWindow kSomeonesConsole = {[] { return false; }, [] { ++waits; }};

class RunInWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    waits = 0;
    directory_ = (fs::temp_directory_path() / "tunewright-run-test").string();
    fs::remove_all(directory_);
    fs::create_directories(directory_);
    // With -t1000200: one to upgrade, one already there, one not a preset, one that cannot
    // reach the target.
    write("old.fxp", testing::makeImage("Tvla", 50));
    write("current.fxp", testing::makeImage("Tvla", 53));
    write("junk.fxp", testing::makeImage("Junk", 1));
    write("other.fxp", testing::makeImage("Bskl", 6));
  }
  void TearDown() override { fs::remove_all(directory_); }

  void write(const char* name, const testing::Image& image) {
    std::ofstream((fs::path(directory_) / name).string(), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), image.length());
  }

  struct Result {
    int status;
    std::string out;
    std::string err;
  };

  Result run(std::vector<const char*> arguments, const ConsoleWindow& window) {
    arguments.insert(arguments.begin(), "tunewright");
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int status = runProgram(static_cast<int>(arguments.size()), arguments.data(), window);
    std::string out = ::testing::internal::GetCapturedStdout();
    return {status, out, ::testing::internal::GetCapturedStderr()};
  }

  const testing::ScopedOptions options_;
  std::string directory_;
};

TEST_F(RunInWindow, ShowsWhatItDidSumsUpAndWaitsForEnter) {
  const Result result = run({"-t1000200", directory_.c_str()}, kOwnWindow);
  EXPECT_EQ(result.status, 0);
  EXPECT_TRUE(result.out.starts_with("Searching directory: " + directory_ + "\n")) << result.out;
  EXPECT_NE(result.out.find("Converting data file: " + directory_ + "\\old.fxp\n"),
            std::string::npos)
      << result.out;
  EXPECT_TRUE(result.out.ends_with(
      "Presets upgraded: 1, already current: 1, not recognised: 1, failed: 1.\n"
      "Press Enter to close.\n"))
      << result.out;
  EXPECT_NE(result.err.find("Error 1: Couldn't make converter chain: "), std::string::npos);
  EXPECT_EQ(waits, 1);
  // A second run counts afresh, and a dry run counts what it would upgrade.
  const Result again = run({"-n", "-t1000200", directory_.c_str()}, kOwnWindow);
  EXPECT_TRUE(
      again.out.ends_with("Presets upgraded: 1, already current: 2, not recognised: 1, failed: 1.\n"
                          "Press Enter to close.\n"))
      << again.out;
}

TEST_F(RunInWindow, OptionsAndTheirErrorsWaitWithoutASummary) {
  EXPECT_EQ(run({"--version"}, kOwnWindow).out,
            "tunewright " TUNEWRIGHT_VERSION "\nPress Enter to close.\n");
  const Result refused = run({"-x", directory_.c_str()}, kOwnWindow);
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.out, "Press Enter to close.\n");
  EXPECT_EQ(waits, 2);
}

TEST_F(RunInWindow, FromSomeonesConsoleNothingChanges) {
  const Result result = run({"-t1000200", directory_.c_str()}, kSomeonesConsole);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(run({"--version"}, kSomeonesConsole).out, "tunewright " TUNEWRIGHT_VERSION "\n");
  EXPECT_EQ(waits, 0);
}

}  // namespace
}  // namespace tunewright
