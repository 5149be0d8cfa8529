// The converter snapshot and the chain search, with test converters.

#include "convert/chain.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "test_support.h"

namespace tunewright {
namespace {

using testing::FakeConverter;
using testing::ScopedConverters;

// The shipped conversion graph, by ID only, so these tests do not depend on the real recipes.
const FakeConverter kT102To200(1000102, 1000200);
const FakeConverter kT200To203(1000200, 1000203);
const FakeConverter kT203To205(1000203, 1000205);
const FakeConverter kB500To501(2000500, 2000501);

ConverterList shippedGraph() {
  return {&kT102To200, &kT200To203, &kT203To205, &kB500To501};
}

std::vector<std::pair<FormatId, FormatId>> steps(const ConverterList& chain) {
  std::vector<std::pair<FormatId, FormatId>> result;
  for (const Converter* c : chain) {
    result.emplace_back(c->sourceId(), c->targetId());
  }
  return result;
}

TEST(ConverterLess, OrdersBySourceThenTarget) {
  const FakeConverter a(5, 9);
  const FakeConverter b(5, 10);
  const FakeConverter c(6, 1);
  EXPECT_TRUE(converterLess(&a, &b));
  EXPECT_FALSE(converterLess(&b, &a));
  EXPECT_TRUE(converterLess(&b, &c));
  EXPECT_FALSE(converterLess(&a, &a));
}

TEST(IsKnownTarget, OnlyFormatsSomeConverterProduces) {
  const ScopedConverters scope(shippedGraph());
  for (const FormatId id : {1000200, 1000203, 1000205, 2000501}) {
    EXPECT_TRUE(isKnownTarget(id)) << id;
  }
  for (const FormatId id : {1000102, 2000500, 0, -1, 1000204, INT32_MIN}) {
    EXPECT_FALSE(isKnownTarget(id)) << id;
  }
}

struct ChainCase {
  FormatId source;
  FormatId target;
  bool found;
  std::vector<std::pair<FormatId, FormatId>> chain;
};

class ShippedGraphChain : public ::testing::TestWithParam<ChainCase> {};

TEST_P(ShippedGraphChain, PlansTheExpectedSteps) {
  const ScopedConverters scope(shippedGraph());
  const ChainCase& c = GetParam();
  ConverterList chain;
  EXPECT_EQ(buildChain(c.source, c.target, chain), c.found);
  EXPECT_EQ(steps(chain), c.chain);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShippedGraphChain,
    ::testing::Values(
        ChainCase{1000102, -1, true, {{1000102, 1000200}, {1000200, 1000203}, {1000203, 1000205}}},
        ChainCase{1000102, 0, true, {{1000102, 1000200}, {1000200, 1000203}, {1000203, 1000205}}},
        ChainCase{1000102, -7, true, {{1000102, 1000200}, {1000200, 1000203}, {1000203, 1000205}}},
        ChainCase{1000200, -1, true, {{1000200, 1000203}, {1000203, 1000205}}},
        ChainCase{2000500, -1, true, {{2000500, 2000501}}},
        ChainCase{1000102, 1000203, true, {{1000102, 1000200}, {1000200, 1000203}}},
        ChainCase{
            1000102, 1000205, true, {{1000102, 1000200}, {1000200, 1000203}, {1000203, 1000205}}},
        ChainCase{1000203, 1000203, true, {}},  // already there, though a converter reads it
        ChainCase{1000205, -1, true, {}},       // latest mode with nowhere to go
        ChainCase{1000102, 2000501, false, {}}, ChainCase{1000203, 1000200, false, {}}));

TEST(BuildChain, LatestModeTakesTheSmallestForwardTargetAndExactModeTheShortestChain) {
  const FakeConverter shortcut(1000200, 1000205);
  ConverterList converters = shippedGraph();
  converters.push_back(&shortcut);
  std::sort(converters.begin(), converters.end(), converterLess);
  const ScopedConverters scope(converters);

  ConverterList latest;
  EXPECT_TRUE(buildChain(1000200, -1, latest));
  EXPECT_EQ(steps(latest),
            (std::vector<std::pair<FormatId, FormatId>>{{1000200, 1000203}, {1000203, 1000205}}));
  ConverterList exact;
  EXPECT_TRUE(buildChain(1000200, 1000205, exact));
  EXPECT_EQ(steps(exact), (std::vector<std::pair<FormatId, FormatId>>{{1000200, 1000205}}));
}

TEST(BuildChain, ExactModeTakesBackwardStepsButLatestModeDoesNot) {
  const FakeConverter up(10, 20);
  const FakeConverter down(20, 5);
  const ScopedConverters scope({&up, &down});
  ConverterList exact;
  EXPECT_TRUE(buildChain(10, 5, exact));
  EXPECT_EQ(steps(exact), (std::vector<std::pair<FormatId, FormatId>>{{10, 20}, {20, 5}}));
  ConverterList latest;
  EXPECT_TRUE(buildChain(10, -1, latest));
  EXPECT_EQ(steps(latest), (std::vector<std::pair<FormatId, FormatId>>{{10, 20}}));
}

TEST(BuildChain, CycleNeverRevisitsAFormatAndAFailedSearchLeavesTheChainEmpty) {
  const FakeConverter forth(1, 2);
  const FakeConverter back(2, 1);
  const FakeConverter away(3, 4);
  const ScopedConverters scope({&forth, &back, &away});
  ConverterList chain;
  EXPECT_FALSE(buildChain(1, 4, chain));
  EXPECT_TRUE(chain.empty());
  EXPECT_TRUE(buildChain(2, 1, chain));
  EXPECT_EQ(steps(chain), (std::vector<std::pair<FormatId, FormatId>>{{2, 1}}));
}

TEST(BuildChain, PrefersTheEarliestConverterAmongEquallyShortChains) {
  // Two routes of length two from 1 to 9: through 3 and through 5. Sort order picks 3.
  const FakeConverter a(1, 3);
  const FakeConverter b(1, 5);
  const FakeConverter c(3, 9);
  const FakeConverter d(5, 9);
  const ScopedConverters scope({&a, &b, &c, &d});
  ConverterList chain;
  EXPECT_TRUE(buildChain(1, 9, chain));
  EXPECT_EQ(steps(chain), (std::vector<std::pair<FormatId, FormatId>>{{1, 3}, {3, 9}}));
}

TEST(BuildChain, NeverLongerThanTheNumberOfConverters) {
  // 1 -> 2 -> 3 -> 4 needs three steps; with only these three registered the limit is three.
  const FakeConverter a(1, 2);
  const FakeConverter b(2, 3);
  const FakeConverter c(3, 4);
  const ScopedConverters scope({&a, &b, &c});
  ConverterList chain;
  EXPECT_TRUE(buildChain(1, 4, chain));
  EXPECT_EQ(chain.size(), 3u);
  chain.clear();
  EXPECT_TRUE(buildChain(1, -1, chain));  // latest mode reaches the limit and stops there
  EXPECT_EQ(chain.size(), 3u);
}

TEST(BuildChain, LatestModeLooksAtDirectionExactModeAtThePath) {
  const FakeConverter forward(1, 2);
  const FakeConverter backward(2, 1);
  const FakeConverter onward(2, 3);
  const ScopedConverters scope({&forward, &backward, &onward});
  ConverterList latest;
  EXPECT_TRUE(buildChain(2, -1, latest));  // forward steps only: 2 -> 1 is passed over
  EXPECT_EQ(steps(latest), (std::vector<std::pair<FormatId, FormatId>>{{2, 3}}));
  ConverterList back;
  EXPECT_TRUE(buildChain(2, 1, back));  // a backward step where it is asked for
  EXPECT_EQ(steps(back), (std::vector<std::pair<FormatId, FormatId>>{{2, 1}}));
  ConverterList none;
  EXPECT_FALSE(buildChain(1, 4, none));  // never 1 -> 2 -> 1 -> 2 ...
  ConverterList onwards;
  EXPECT_TRUE(buildChain(1, 3, onwards));
  EXPECT_EQ(steps(onwards), (std::vector<std::pair<FormatId, FormatId>>{{1, 2}, {2, 3}}));
}

}  // namespace
}  // namespace tunewright
