// The maps in words, on two made-up steps that use what the shipped ones do not: dropped
// parameters, a removed choice, a marker, values that print with an exponent.

#include "convert/map_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace tunewright {
namespace {

using Lines = std::vector<std::string>;

constexpr MovedRange kMovesA[] = {{0, 1, kDropped}, {2, 5, 0}};
constexpr NewParameter kAddedA[] = {{4, 3.0f}, {5, 0x12345678u, "marker"}};
constexpr ValueChange kChangesA[] = {selector(2, "mode", 4, {1}, {}), dividedBy(3, 3)};
constexpr ParameterMap kMapA = {"Test", 6, 6, kMovesA, kAddedA, kChangesA};

constexpr MovedRange kMovesB[] = {{0, 5, 1}};
constexpr NewParameter kAddedB[] = {{0, -1.5f}, {7, 1e20f}};
constexpr ValueChange kChangesB[] = {selector(0, "mode", 3, {}, {0, 2})};
constexpr ParameterMap kMapB = {"Test", 6, 8, kMovesB, kAddedB, kChangesB};

const testing::FakeConverter kStepA(1, 2, "Test v1", "Test v2", std::nullopt, kMapA);
const testing::FakeConverter kStepB(2, 3, "Test v2", "Test v3", std::nullopt, kMapB);

TEST(DescribeMap, OneStep) {
  EXPECT_EQ(
      describeMap(ChainMap({&kStepA})),
      (Lines{"0-1 dropped, 2-5 -> 0-3", "new 4 = 3.0, 5 = 0x12345678 (marker)",
             "selector 2 -> 0 (mode): 4 choices to 3, choice 1 removed", "3 -> 1, divided by 3"}));
}

TEST(DescribeMap, AChainSaysARemovalAndTheInsertionsAfterItInTurn) {
  EXPECT_EQ(
      describeMap(ChainMap({&kStepA, &kStepB})),
      (Lines{"0-1 dropped, 2-5 -> 1-4", "new 0 = -1.5, 5 = 3.0, 6 = 0x12345678 (marker), 7 = 1e+20",
             "selector 2 -> 1 (mode): 4 choices to 3, choice 1 removed; then 3 choices to "
             "5, new choices at 0 and 2",
             "3 -> 2, divided by 3"}));
}

TEST(DescribeMap, AMapOfNoParametersSaysNothing) {
  EXPECT_TRUE(describeMap(ChainMap()).empty());
  const testing::FakeConverter fake(1, 2);
  EXPECT_TRUE(describeMap(ChainMap({&fake})).empty());
}

TEST(ConverterListLines, MapsUnderTheirStepsThenEachLongerChainToTheTarget) {
  const testing::ScopedConverters scope({&kStepA, &kStepB});
  const Lines a = {"Test v1 (1) -> Test v2 (2)", "  0-1 dropped, 2-5 -> 0-3",
                   "  new 4 = 3.0, 5 = 0x12345678 (marker)",
                   "  selector 2 -> 0 (mode): 4 choices to 3, choice 1 removed",
                   "  3 -> 1, divided by 3"};
  const Lines b = {"Test v2 (2) -> Test v3 (3)", "  0-5 -> 1-6", "  new 0 = -1.5, 7 = 1e+20",
                   "  selector 0 -> 1 (mode): 3 choices to 5, new choices at 0 and 2"};
  Lines both = a;
  both.insert(both.end(), b.begin(), b.end());
  EXPECT_EQ(converterListLines(true, 2), both);  // no chain of two steps ends at 2

  Lines whole = both;
  whole.push_back("Test v1 (1) -> Test v3 (3), in 2 steps");
  for (const std::string& line : describeMap(ChainMap({&kStepA, &kStepB}))) {
    whole.push_back("  " + line);
  }
  EXPECT_EQ(converterListLines(true, 0), whole);
  EXPECT_EQ(converterListLines(true, 3), whole);
  EXPECT_EQ(converterListLines(false, 0), (Lines{a.front(), b.front()}));
}

}  // namespace
}  // namespace tunewright
