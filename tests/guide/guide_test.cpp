// Checks that a converter added as docs/ADDING_A_CONVERTER.md describes is picked up by the
// whole program: listed, reachable by the chain search, named by -t, and run by the file job.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/run.h"
#include "preset_builder.h"

namespace tunewright {
namespace {

namespace fs = std::filesystem;

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

RunResult run(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "tunewright");
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
  const int status = runProgram(static_cast<int>(arguments.size()), arguments.data());
  std::string out = ::testing::internal::GetCapturedStdout();
  return {status, out, ::testing::internal::GetCapturedStderr()};
}

TEST(AddedConverter, IsListedAfterTheShippedOnes) {
  const RunResult listed = run({"-l"});
  EXPECT_EQ(listed.status, 0);
  EXPECT_TRUE(
      listed.out.ends_with("Brisklet v0.5 (2000500) -> Brisklet v0.5.1 (2000501)\n"
                           "Brisklet v0.5.1 (2000501) -> Brisklet v0.6 (2000600)\n"))
      << listed.out;
}

TEST(AddedConverter, ExtendsTheChainAndCanBeNamedAsATarget) {
  const fs::path directory = fs::temp_directory_path() / "tunewright-guide-test";
  fs::remove_all(directory);
  fs::create_directories(directory);
  testing::Image v050 = testing::makeImage("Bskl", 6);
  for (int32_t i = 0; i < 6; ++i) {
    v050.setParam(i, 0.1f * static_cast<float>(i + 1));
  }
  const std::string input = (directory / "room.fxp").string();
  std::ofstream(input, std::ios::binary)
      .write(reinterpret_cast<const char*>(v050.data()), v050.length());

  const RunResult upgraded = run({"-vv", input.c_str()});
  EXPECT_EQ(upgraded.status, 0) << upgraded.err;
  EXPECT_EQ(upgraded.out, "Loading data file: " + input +
                              "\nBrisklet v0.5 -> Brisklet v0.5.1\n"
                              "Brisklet v0.5.1 -> Brisklet v0.6\n");
  testing::Image v060;
  {
    std::ifstream output(directory / "600_room.fxp", std::ios::binary);  // closed before removal
    v060.bytes.assign(std::istreambuf_iterator<char>(output), {});
  }
  ASSERT_EQ(v060.length(), presetLength(9));
  EXPECT_EQ(v060.headerCount(kNumParamsOffset), 9);
  EXPECT_EQ(v060.param(2), 1.0f);
  EXPECT_EQ(v060.param(8), 0.5f);

  const RunResult stopped = run({"-t2000501", input.c_str()});
  EXPECT_EQ(stopped.status, 0) << stopped.err;
  EXPECT_TRUE(fs::exists(directory / "501_room.fxp"));
  fs::remove_all(directory);
}

}  // namespace
}  // namespace tunewright
