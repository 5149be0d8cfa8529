// The parameter maps: every converter's and every chain's map against the converters' own
// output, and the composed map's answers outside a layout.

#include "convert/parameter_map.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <set>

#include "convert/chain.h"
#include "map_proof.h"
#include "test_support.h"

namespace tunewright {
namespace {

constexpr int32_t kImages = 3000;

TEST(ParameterMap, EveryConverterAndEveryChainDoesWhatItsMapSays) {
  snapshotConverters();
  std::set<FormatId> sources;
  std::set<FormatId> targets;
  for (const Converter* converter : sortedConverters) {
    testing::expectMapMatchesChain({converter}, kImages,
                                   static_cast<uint32_t>(converter->sourceId()));
    sources.insert(converter->sourceId());
    targets.insert(converter->targetId());
  }
  int32_t chains = 0;
  for (const FormatId source : sources) {
    for (const FormatId target : targets) {
      ConverterList chain;
      if (buildChain(source, target, chain) && chain.size() > 1) {
        testing::expectMapMatchesChain(chain, kImages, static_cast<uint32_t>(source ^ target));
        ++chains;
      }
    }
  }
  EXPECT_GE(chains, 3);  // 0.1.2 to 0.2.3 and 0.2.5, 0.2 to 0.2.5
}

TEST(ChainMap, TheEmptyChainKeepsEveryIndexAndValue) {
  const ChainMap map;
  EXPECT_STREQ(map.pluginId(), "");
  EXPECT_EQ(map.sourceCount(), 0);
  EXPECT_EQ(map.targetCount(), 0);
  EXPECT_TRUE(map.added().empty());
  for (const int32_t index : {0, 1, 53, 100000}) {
    EXPECT_EQ(map.destination(index), index);
    EXPECT_FALSE(map.changesValue(index));
    EXPECT_EQ(map.transform(index, 0.3f), 0.3f);
  }
  EXPECT_EQ(map.destination(-1), kDropped);
}

TEST(ChainMap, AnIndexOutsideTheSourceLayoutGoesNowhereAndKeepsItsValue) {
  snapshotConverters();
  ConverterList chain;
  ASSERT_TRUE(buildChain(1000200, 0, chain));
  const ChainMap map(chain);
  ASSERT_EQ(map.sourceCount(), 53);
  ASSERT_TRUE(map.changesValue(52));  // the global parameter, divided by 7
  for (const int32_t index : {-1, 53, INT32_MAX, INT32_MIN}) {
    EXPECT_EQ(map.destination(index), kDropped) << index;
    EXPECT_FALSE(map.changesValue(index)) << index;
    EXPECT_EQ(map.transform(index, 2.0f), 2.0f) << index;
  }
}

}  // namespace
}  // namespace tunewright
