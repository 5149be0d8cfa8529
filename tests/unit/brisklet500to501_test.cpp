// The Brisklet 0.5 to 0.5.1 converter: recognition, the worked preset, capacity.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "preset_builder.h"
#include "test_support.h"

namespace tunewright {
namespace {

using testing::Image;
using testing::makeImage;

const Converter& brisklet() {
  return testing::registeredConverter(2000500, 2000501);
}

Image brisklet050(std::initializer_list<float> values = {0.1f, 0.2f, 0.3f, 0.4f, 0.5f, 0.6f}) {
  Image image = makeImage("Bskl", 6);
  int32_t i = 0;
  for (const float value : values) {
    image.setParam(i++, value);
  }
  return image;
}

TEST(Brisklet500To501, AcceptsExactlyTheOldLayout) {
  const Image good = brisklet050();
  EXPECT_TRUE(brisklet().accepts(good.length(), good.data()));
  for (const testing::NearMiss& miss : testing::nearMisses(good, testing::Misses::kLayout)) {
    EXPECT_FALSE(brisklet().accepts(miss.image.length(), miss.image.data())) << miss.what;
  }
  EXPECT_FALSE(brisklet().accepts(0, good.data()));

  const Image newer = makeImage("Bskl", 8);
  EXPECT_FALSE(brisklet().accepts(newer.length(), newer.data()));
  const Image synth = makeImage("Tvla", 6);
  EXPECT_FALSE(brisklet().accepts(synth.length(), synth.data()));
}

TEST(Brisklet500To501, InsertsTwoParametersOfOneAndKeepsTheRest) {
  Image image = brisklet050();
  testing::scribbleUninterpretedHeader(image);
  const Image before = image;
  image.bytes.resize(kProgramCapacity, 0xEE);  // the file job's buffer, with leftovers
  EXPECT_EQ(brisklet().convert(80, kProgramCapacity, image.bytes.data()), 88);
  image.bytes.resize(88);
  EXPECT_EQ(image.headerCount(kByteSizeOffset), 80);
  EXPECT_EQ(image.headerCount(kNumParamsOffset), 8);
  const float expected[] = {0.1f, 0.2f, 1.0f, 0.3f, 0.4f, 0.5f, 0.6f, 1.0f};
  for (int32_t i = 0; i < 8; ++i) {
    EXPECT_EQ(image.param(i), expected[i]) << i;
  }
  EXPECT_TRUE(testing::sameUninterpretedHeader(image, before));
  EXPECT_TRUE(brisklet().accepts(before.length(), before.data()));
}

TEST(Brisklet500To501, NewValuesAreOneWhateverTheOldOnesHold) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Image image =
      brisklet050({nan, -0.0f, 1e30f, -5.0f, nan, std::numeric_limits<float>::infinity()});
  image.bytes.resize(88);
  const Image before = image;
  EXPECT_EQ(brisklet().convert(80, 88, image.bytes.data()), 88);
  EXPECT_EQ(image.paramBits(2), 0x3F800000u);
  EXPECT_EQ(image.paramBits(7), 0x3F800000u);
  const int32_t moved[] = {0, 1, 3, 4, 5, 6};
  for (int32_t old = 0; old < 6; ++old) {
    EXPECT_EQ(image.word(moved[old]), before.word(old)) << old;
  }
}

TEST(Brisklet500To501, TooLittleCapacityChangesNothing) {
  Image image = brisklet050();
  image.bytes.resize(88, 0x5A);
  const Image before = image;
  EXPECT_EQ(brisklet().convert(80, 87, image.bytes.data()), -1);
  EXPECT_EQ(image.bytes, before.bytes);
  EXPECT_EQ(brisklet().convert(80, 0, image.bytes.data()), -1);
  EXPECT_EQ(image.bytes, before.bytes);
}

}  // namespace
}  // namespace tunewright
