// A whole run in a console window of its own (started from Explorer) and in someone's console,
// with the window's ownership and the wait put in by the test.

#include "app/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "preset_builder.h"
#include "scratch_directory.h"
#include "test_support.h"

namespace tunewright {
namespace {

int waits = 0;

const ConsoleWindow kOwnWindow = {[] { return true; }, [] { ++waits; }};
const ConsoleWindow kSomeonesConsole = {[] { return false; }, [] { ++waits; }};

class RunInWindow : public testing::ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    waits = 0;
    directory_ = root_.string();
    // With -t1000200: one to upgrade, one already there, two not presets, one that cannot
    // reach the target.
    write("old.fxp", testing::makeImage("Tvla", 50));
    write("current.fxp", testing::makeImage("Tvla", 53));
    write("junk.fxp", testing::makeImage("Junk", 1));
    write("more junk.fxp", testing::makeImage("Junk", 2));
    write("other.fxp", testing::makeImage("Bskl", 6));
  }

  testing::Captured<int> run(std::vector<const char*> arguments, const ConsoleWindow& window) {
    arguments.insert(arguments.begin(), "tunewright");
    return testing::capture(
        [&] { return runProgram(static_cast<int>(arguments.size()), arguments.data(), window); });
  }

  const testing::ScopedOptions options_;
  std::string directory_;
};

TEST_F(RunInWindow, ShowsWhatItDidSumsUpAndWaitsForEnter) {
  const auto ran = run({"-t1000200", directory_.c_str()}, kOwnWindow);
  EXPECT_EQ(ran.result, 0);
  EXPECT_TRUE(ran.out.starts_with("Searching directory: " + directory_ + "\n")) << ran.out;
  EXPECT_NE(ran.out.find("Converting data file: " + directory_ + "\\old.fxp\n"), std::string::npos)
      << ran.out;
  EXPECT_TRUE(
      ran.out.ends_with("Presets upgraded: 1, already current: 1, not recognised: 2, failed: 1.\n"
                        "Press Enter to close.\n"))
      << ran.out;
  EXPECT_NE(ran.err.find("Error 1: Couldn't make converter chain: "), std::string::npos);
  EXPECT_EQ(waits, 1);
  // A second run counts afresh, and a dry run counts what it would upgrade.
  const auto again = run({"-n", "-t1000200", directory_.c_str()}, kOwnWindow);
  EXPECT_TRUE(
      again.out.ends_with("Presets upgraded: 1, already current: 2, not recognised: 2, failed: 1.\n"
                          "Press Enter to close.\n"))
      << again.out;
}

TEST_F(RunInWindow, OptionsAndTheirErrorsWaitWithoutASummary) {
  EXPECT_EQ(run({"--version"}, kOwnWindow).out,
            "tunewright " TUNEWRIGHT_VERSION "\nPress Enter to close.\n");
  const auto refused = run({"-x", directory_.c_str()}, kOwnWindow);
  EXPECT_EQ(refused.result, 1);
  EXPECT_EQ(refused.out, "Press Enter to close.\n");
  EXPECT_EQ(waits, 2);
}

TEST_F(RunInWindow, FromSomeonesConsoleNothingChanges) {
  const auto ran = run({"-t1000200", directory_.c_str()}, kSomeonesConsole);
  EXPECT_EQ(ran.result, 0);
  EXPECT_EQ(ran.out, "");
  EXPECT_EQ(run({"--version"}, kSomeonesConsole).out, "tunewright " TUNEWRIGHT_VERSION "\n");
  EXPECT_EQ(waits, 0);
}

}  // namespace
}  // namespace tunewright
