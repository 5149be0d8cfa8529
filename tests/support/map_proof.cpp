// Random images through a chain, compared word for word with what its composed map predicts.

#include "map_proof.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "convert/parameter_map.h"
#include "convert/registry.h"
#include "preset_builder.h"

namespace tunewright::testing {

namespace {

// Words random bits seldom give: zeros, one, the ends of the float range, infinities, NaNs
// quiet and signalling, the smallest subnormal, the float below 1.
constexpr std::array<uint32_t, 11> kSpecialWords = {0x00000000, 0x80000000, 0x3F800000, 0x7F7FFFFF,
                                                    0xFF7FFFFF, 0x7F800000, 0xFF800000, 0x7FC00000,
                                                    0x7F800001, 0x00000001, 0x3F7FFFFF};

uint32_t randomWord(std::mt19937& random) {
  switch (random() % 4) {
    case 0:
      return kSpecialWords[random() % kSpecialWords.size()];
    case 1:  // a value a host would store, 0..1
      return std::bit_cast<uint32_t>(std::uniform_real_distribution<float>(0.0f, 1.0f)(random));
    default:
      return static_cast<uint32_t>(random());
  }
}

// The marker some step writes into parameter 0 of the layout, for a layout told by its marker.
std::optional<uint32_t> markerOf(FormatId layout) {
  ConverterList registered;
  for (const Converter* converter : copyConverterRegistry(registered)) {
    if (converter->targetId() == layout) {
      for (const NewParameter& added : converter->parameterMap().added) {
        if (added.index == 0 && added.marker != nullptr) {
          return added.bits;
        }
      }
    }
  }
  return std::nullopt;
}

// What the map predicts for every target word, once per chain: each index reached exactly once.
struct Prediction {
  std::vector<std::optional<uint32_t>> words;
  bool whole = true;

  void put(int32_t index, uint32_t word) {
    if (index < 0 || index >= static_cast<int32_t>(words.size()) ||
        words[static_cast<std::size_t>(index)].has_value()) {
      whole = false;
      return;
    }
    words[static_cast<std::size_t>(index)] = word;
  }
};

}  // namespace

void expectMapMatchesChain(const ConverterList& chain, int32_t images, uint32_t seed) {
  ASSERT_FALSE(chain.empty());
  const Converter& first = *chain.front();
  const ChainMap map(chain);
  const std::string name = std::string(first.sourceName()) + " -> " + chain.back()->targetName();
  ASSERT_EQ(std::strlen(map.pluginId()), 4u) << name;
  for (std::size_t i = 1; i < chain.size(); ++i) {
    const ParameterMap& before = chain[i - 1]->parameterMap();
    const ParameterMap& after = chain[i]->parameterMap();
    ASSERT_EQ(before.targetCount, after.sourceCount) << name << ", step " << i;
    ASSERT_STREQ(before.pluginId, after.pluginId) << name << ", step " << i;
  }
  const std::optional<uint32_t> marker = markerOf(first.sourceId());
  std::mt19937 random(seed);
  for (int32_t n = 0; n < images; ++n) {
    Image image = makeImage("????", map.sourceCount());
    std::memcpy(image.bytes.data() + kFxIdOffset, map.pluginId(), 4);
    for (int32_t i = 0; i < map.sourceCount(); ++i) {
      image.setParamBits(i, randomWord(random));
    }
    if (!first.accepts(image.length(), image.data()) && marker.has_value()) {
      image.setParamBits(0, *marker);
    }
    ASSERT_TRUE(first.accepts(image.length(), image.data())) << name;

    Prediction predicted{
        std::vector<std::optional<uint32_t>>(static_cast<std::size_t>(map.targetCount()))};
    for (int32_t source = 0; source < map.sourceCount(); ++source) {
      const int32_t to = map.destination(source);
      if (to != kDropped) {
        predicted.put(to, std::bit_cast<uint32_t>(map.transform(
                              source, std::bit_cast<float>(image.paramBits(source)))));
      }
    }
    for (const NewParameter& added : map.added()) {
      predicted.put(added.index, added.bits);
    }

    Image output = image;
    output.bytes.resize(kProgramCapacity);
    int32_t length = image.length();
    for (const Converter* step : chain) {
      ASSERT_TRUE(step->accepts(length, output.data())) << name << ": " << step->sourceName();
      length = step->convert(length, kProgramCapacity, output.bytes.data());
      ASSERT_GT(length, 0) << name;
    }
    ASSERT_EQ(length, presetLength(map.targetCount())) << name;
    ASSERT_TRUE(predicted.whole) << name << ": a target index reached twice or out of range";
    for (int32_t i = 0; i < map.targetCount(); ++i) {
      const std::optional<uint32_t>& word = predicted.words[static_cast<std::size_t>(i)];
      ASSERT_TRUE(word.has_value()) << name << ": nothing reaches target index " << i;
      ASSERT_EQ(output.paramBits(i), *word) << name << ", target index " << i << ", image " << n;
    }
  }
}

}  // namespace tunewright::testing
