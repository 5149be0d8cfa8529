// The three Tavlora converters, step by step and as one chain, on the worked example preset:
// every parameter 0.0 except 0 = 0.25, 11 = 0.95, 15 = 0.75, 23 = 0.5 and 49 = 0.6.

#include <gtest/gtest.h>

#include <bit>
#include <initializer_list>
#include <map>

#include "preset_builder.h"
#include "test_support.h"

namespace tunewright {
namespace {

using testing::Image;
using testing::makeImage;

const Converter& tavlora102To200() {
  return testing::registeredConverter(1000102, 1000200);
}
const Converter& tavlora200To203() {
  return testing::registeredConverter(1000200, 1000203);
}
const Converter& tavlora203To205() {
  return testing::registeredConverter(1000203, 1000205);
}

Image example012() {
  Image image = makeImage("Tvla", 50);
  for (const auto& [index, value] :
       std::map<int32_t, float>{{0, 0.25f}, {11, 0.95f}, {15, 0.75f}, {23, 0.5f}, {49, 0.6f}}) {
    image.setParam(index, value);
  }
  return image;
}

// Runs one step in a buffer of the file job's capacity and returns the result.
Image step(const Converter& converter, const Image& input) {
  EXPECT_TRUE(converter.accepts(input.length(), input.data())) << converter.sourceName();
  Image output = input;
  output.bytes.resize(kProgramCapacity, 0xEE);
  const int32_t length = converter.convert(input.length(), kProgramCapacity, output.bytes.data());
  EXPECT_GT(length, 0);
  output.bytes.resize(static_cast<std::size_t>(std::max(length, 0)));
  return output;
}

// Every parameter's bit pattern; those not listed must be 0.0.
void expectParams(const Image& image, int32_t count, const std::map<int32_t, uint32_t>& nonZero) {
  ASSERT_EQ(image.length(), presetLength(count));
  EXPECT_EQ(image.headerCount(kNumParamsOffset), count);
  EXPECT_EQ(image.headerCount(kByteSizeOffset), presetLength(count) - 8);
  for (int32_t i = 0; i < count; ++i) {
    const auto found = nonZero.find(i);
    EXPECT_EQ(image.paramBits(i), found == nonZero.end() ? 0u : found->second) << "parameter " << i;
  }
}

constexpr uint32_t bits(float value) {
  return std::bit_cast<uint32_t>(value);
}

TEST(Tavlora, WorkedExampleStepByStep) {
  Image v012 = example012();
  testing::scribbleUninterpretedHeader(v012);

  const Image v020 = step(tavlora102To200(), v012);
  expectParams(v020, 53,
               {{0, bits(0.25f)},
                {12, bits(0.95f)},
                {16, bits(0.75f)},
                {24, bits(0.5f)},
                {51, bits(0.6f)},
                {52, 0x40000000}});

  const Image v023 = step(tavlora200To203(), v020);
  expectParams(v023, 54,
               {{0, 0x3F0000CB},
                {1, 0x3E924925},
                {2, bits(0.25f)},
                {14, 0x3F6DB6DB},
                {16, 0x3D924925},
                {18, 0x3F492492},
                {26, 0x3ED55555},
                {40, 0x3D924925},
                {42, 0x3D924925},
                {44, 0x3D924925},
                {52, 0x3DAAAAAB},
                {53, bits(0.6f)}});

  const Image v025 = step(tavlora203To205(), v023);
  expectParams(v025, 54,
               {{0, 0x3F0000CD},
                {1, 0x3E924925},
                {2, bits(0.25f)},
                {14, 0x3F700000},
                {16, 0x3D800000},
                {18, 0x3F300000},
                {26, 0x3ED55555},
                {40, 0x3D800000},
                {42, 0x3D800000},
                {44, 0x3D800000},
                {52, 0x3DAAAAAB},
                {53, bits(0.6f)}});

  for (const Image* image : {&v020, &v023, &v025}) {
    EXPECT_TRUE(testing::sameUninterpretedHeader(*image, v012));
  }
  EXPECT_TRUE(tavlora203To205().accepts(v023.length(), v023.data()));
  for (const Converter* converter : {&tavlora102To200(), &tavlora200To203(), &tavlora203To205()}) {
    EXPECT_FALSE(converter->accepts(v025.length(), v025.data())) << converter->sourceName();
  }
}

TEST(Tavlora, EachConverterAcceptsOnlyItsOwnLayout) {
  Image v012 = example012();
  const Image v020 = step(tavlora102To200(), v012);
  const Image v023 = step(tavlora200To203(), v020);
  const Converter* converters[] = {&tavlora102To200(), &tavlora200To203(), &tavlora203To205()};
  const Image* images[] = {&v012, &v020, &v023};
  for (int c = 0; c < 3; ++c) {
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(converters[c]->accepts(images[i]->length(), images[i]->data()), c == i)
          << converters[c]->sourceName() << " on image " << i;
    }
  }
  for (const testing::NearMiss& miss : testing::nearMisses(v012, testing::Misses::kLayout)) {
    EXPECT_FALSE(tavlora102To200().accepts(miss.image.length(), miss.image.data())) << miss.what;
  }
}

TEST(Tavlora, The023LayoutIsToldByItsMarkerAlone) {
  Image v023 = makeImage("Tvla", 54);
  v023.setParamBits(0, 0x3F0000CB);
  // The counts are not looked at, and convert leaves them as they are.
  storeWord(v023.bytes.data() + kByteSizeOffset, 0xDEADBEEF);
  storeWord(v023.bytes.data() + kNumParamsOffset, 0x01020304);
  EXPECT_TRUE(tavlora203To205().accepts(272, v023.data()));
  Image converted = v023;
  EXPECT_EQ(tavlora203To205().convert(272, 0, converted.bytes.data()), 272);  // never fails
  EXPECT_EQ(loadWord(converted.data() + kByteSizeOffset), 0xDEADBEEFu);
  EXPECT_EQ(loadWord(converted.data() + kNumParamsOffset), 0x01020304u);
  EXPECT_EQ(converted.paramBits(0), 0x3F0000CDu);

  v023.setParamBits(0, 0x3F0000CC);
  EXPECT_FALSE(tavlora203To205().accepts(272, v023.data()));
}

TEST(Tavlora, GrowingStepsNeedRoomAndChangeNothingWithout) {
  const Image v012 = example012();
  Image buffer = v012;
  buffer.bytes.resize(268, 0x77);
  const Image before = buffer;
  EXPECT_EQ(tavlora102To200().convert(256, 267, buffer.bytes.data()), -1);
  EXPECT_EQ(buffer.bytes, before.bytes);
  EXPECT_EQ(tavlora102To200().convert(256, 268, buffer.bytes.data()), 268);

  buffer.bytes.resize(272, 0x77);
  const Image v020 = buffer;
  EXPECT_EQ(tavlora200To203().convert(268, 271, buffer.bytes.data()), -1);
  EXPECT_EQ(buffer.bytes, v020.bytes);
  EXPECT_EQ(tavlora200To203().convert(268, 272, buffer.bytes.data()), 272);
}

TEST(Tavlora, TheGlobalParameterIsDividedBySeven) {
  struct Case {
    float stored;
    uint32_t expected;
  };
  for (const Case c : {Case{2.0f, 0x3E924925}, Case{7.0f, bits(1.0f)}, Case{0.0f, 0},
                       Case{-0.0f, 0x80000000}, Case{1.0f, bits(static_cast<float>(1.0 / 7.0))}}) {
    Image v020 = step(tavlora102To200(), example012());
    v020.setParam(52, c.stored);
    EXPECT_EQ(step(tavlora200To203(), v020).paramBits(1), c.expected) << c.stored;
  }
}

TEST(Tavlora, SelectorsAreRemappedEvenWhenTheirChoiceStays) {
  Image v020 = step(tavlora102To200(), example012());
  v020.setParam(12, 1.0f);  // choice 5 of 6 becomes 6 of 7
  v020.setParam(38, 0.0f);
  const Image v023 = step(tavlora200To203(), v020);
  EXPECT_EQ(v023.paramBits(14), 0x3F6DB6DBu);
  EXPECT_EQ(v023.paramBits(40), 0x3D924925u);
  // Local 24 (indices 26 and 52) keeps its 0.2.3 value in 0.2.5.
  const Image v025 = step(tavlora203To205(), v023);
  EXPECT_EQ(v025.paramBits(26), v023.paramBits(26));
  EXPECT_EQ(v025.paramBits(52), v023.paramBits(52));
}

TEST(Tavlora, SelectorsHoldingTheirLastChoiceKeepIt) {
  struct Selector {
    int32_t local;
    int32_t choices;  // before the step, one more after it
  };
  using Selectors = std::initializer_list<Selector>;
  // first: where local index 0 of section 0 is, 0 in 0.2, behind two parameters in 0.2.3 on.
  const auto holdLast = [](Image& image, Selectors selectors, int32_t first) {
    for (const int32_t section : {0, 1}) {
      for (const Selector& selector : selectors) {
        image.setParam(first + selector.local + 26 * section, 1.0f);
      }
    }
  };
  const auto expectLast = [](const Image& image, Selectors selectors) {
    for (const int32_t section : {0, 1}) {
      for (const Selector& selector : selectors) {
        // The centre of the last band of the longer list.
        const float last = (static_cast<float>(selector.choices) + 0.5f) /
                           static_cast<float>(selector.choices + 1);
        EXPECT_FLOAT_EQ(std::bit_cast<float>(image.paramBits(2 + selector.local + 26 * section)),
                        last)
            << selector.local << " in section " << section;
      }
    }
  };
  const Selectors to203 = {{12, 6}, {14, 6}, {16, 6}, {24, 5}};
  const Selectors to205 = {{12, 7}, {14, 7}, {16, 7}};
  Image v020 = step(tavlora102To200(), example012());
  holdLast(v020, to203, 0);
  Image v023 = step(tavlora200To203(), v020);
  expectLast(v023, to203);
  holdLast(v023, to205, 2);
  expectLast(step(tavlora203To205(), v023), to205);
}

}  // namespace
}  // namespace tunewright
