// Checks that a converter added as docs/ADDING_A_CONVERTER.md describes is picked up by the
// whole program: listed, reachable by the chain search, named by -t, and run by the file job.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/run.h"
#include "capture.h"
#include "map_proof.h"
#include "preset_builder.h"
#include "scratch_directory.h"
#include "test_support.h"

namespace tunewright {
namespace {

testing::Captured<int> run(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "tunewright");
  return testing::capture(
      [&] { return runProgram(static_cast<int>(arguments.size()), arguments.data()); });
}

using AddedConverter = testing::ScratchDirectory;

TEST_F(AddedConverter, IsListedAfterTheShippedOnes) {
  const auto listed = run({"-l"});
  EXPECT_EQ(listed.result, 0);
  EXPECT_TRUE(
      listed.out.ends_with("Brisklet v0.5 (2000500) -> Brisklet v0.5.1 (2000501)\n"
                           "Brisklet v0.5.1 (2000501) -> Brisklet v0.6 (2000600)\n"))
      << listed.out;
}

TEST_F(AddedConverter, ItsMapIsListedUnderItAndInTheChainItEnds) {
  const auto listed = run({"-lv"});
  EXPECT_EQ(listed.result, 0);
  EXPECT_NE(listed.out.find("Brisklet v0.5.1 (2000501) -> Brisklet v0.6 (2000600)\n"
                            "  0-7 -> 0-7\n"
                            "  new 8 = 0.5\n"),
            std::string::npos)
      << listed.out;
  EXPECT_TRUE(
      listed.out.ends_with("Brisklet v0.5 (2000500) -> Brisklet v0.6 (2000600), in 2 steps\n"
                           "  0-1 -> 0-1, 2-5 -> 3-6\n"
                           "  new 2 = 1.0, 7 = 1.0, 8 = 0.5\n"))
      << listed.out;
}

TEST_F(AddedConverter, ExtendsTheChainAndCanBeNamedAsATarget) {
  testing::Image v050 = testing::makeImage("Bskl", 6);
  for (int32_t i = 0; i < 6; ++i) {
    v050.setParam(i, 0.1f * static_cast<float>(i + 1));
  }
  write("room.fxp", v050);
  const std::string input = path("room.fxp");

  const auto upgraded = run({"-vv", input.c_str()});
  EXPECT_EQ(upgraded.result, 0) << upgraded.err;
  EXPECT_EQ(upgraded.out, "Loading data file: " + input +
                              "\nBrisklet v0.5 -> Brisklet v0.5.1\n"
                              "Brisklet v0.5.1 -> Brisklet v0.6\n");
  const std::string written = read("600_room.fxp");
  testing::Image v060{{written.begin(), written.end()}};
  ASSERT_EQ(v060.length(), presetLength(9));
  EXPECT_EQ(v060.headerCount(kNumParamsOffset), 9);
  EXPECT_EQ(v060.param(2), 1.0f);
  EXPECT_EQ(v060.param(8), 0.5f);

  const auto stopped = run({"-t2000501", input.c_str()});
  EXPECT_EQ(stopped.result, 0) << stopped.err;
  EXPECT_TRUE(names().contains("501_room.fxp"));
}

TEST(AddedConverterMap, SaysWhatTheConverterDoesAloneAndAfterTheShippedStep) {
  const Converter& added = testing::registeredConverter(2000501, 2000600);
  testing::expectMapMatchesChain({&added}, 1000, 600);
  testing::expectMapMatchesChain({&testing::registeredConverter(2000500, 2000501), &added}, 1000,
                                 500);
}

}  // namespace
}  // namespace tunewright
