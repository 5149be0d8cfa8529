// Random valid edits of a parameter list and random selector remappings, checked against the
// simple references the unit tests use.

#include <fuzzer/FuzzedDataProvider.h>

#include <bit>
#include <cmath>
#include <vector>

#include "fuzz_check.h"
#include "preset/byte_order.h"
#include "preset/choice_remapping.h"
#include "preset/parameter_editing.h"
#include "preset/preset_image.h"
#include "references.h"

namespace tunewright {
namespace {

using fuzz::require;

// n strictly ascending positions below limit, chosen by the input.
std::vector<int32_t> consumePositions(FuzzedDataProvider& input, int32_t n, int32_t limit) {
  std::vector<int32_t> positions;
  for (int32_t candidate = 0; candidate < limit && static_cast<int32_t>(positions.size()) < n;
       ++candidate) {
    const int32_t left = limit - candidate;
    const int32_t needed = n - static_cast<int32_t>(positions.size());
    if (left == needed || input.ConsumeBool()) {
      positions.push_back(candidate);
    }
  }
  return positions;
}

void checkEditing(FuzzedDataProvider& input) {
  const auto count = input.ConsumeIntegralInRange<int32_t>(0, 80);
  const auto removedCount = input.ConsumeIntegralInRange<int32_t>(0, count);
  const auto insertedCount = input.ConsumeIntegralInRange<int32_t>(0, 16);
  const std::vector<int32_t> removed = consumePositions(input, removedCount, count);
  const std::vector<int32_t> inserted =
      consumePositions(input, insertedCount, count - removedCount + insertedCount);
  std::vector<uint32_t> values;
  for (int32_t i = 0; i < insertedCount; ++i) {
    values.push_back(input.ConsumeIntegral<uint32_t>());
  }
  std::vector<uint32_t> items;
  for (int32_t i = 0; i < count; ++i) {
    items.push_back(input.ConsumeIntegral<uint32_t>());
  }
  const std::vector<uint32_t> expected =
      reference::replaceParameters(items, removed, inserted, values);

  std::vector<uint32_t> words = items;
  words.resize(static_cast<std::size_t>(count + insertedCount));
  const int32_t result =
      replaceParameters(count, reinterpret_cast<unsigned char*>(words.data()), removedCount,
                        removed.data(), insertedCount, inserted.data(), values.data());
  require(result == static_cast<int32_t>(expected.size()), "the new count");
  words.resize(expected.size());
  require(words == expected, "the edited list");
}

void checkRemapping(FuzzedDataProvider& input) {
  const auto numChoices = input.ConsumeIntegralInRange<int32_t>(1, 64);
  const auto removedCount = input.ConsumeIntegralInRange<int32_t>(0, numChoices - 1);
  const auto insertedCount = input.ConsumeIntegralInRange<int32_t>(0, 8);
  const std::vector<int32_t> removed = consumePositions(input, removedCount, numChoices);
  const std::vector<int32_t> inserted =
      consumePositions(input, insertedCount, numChoices - removedCount + insertedCount);
  const float value = std::bit_cast<float>(input.ConsumeIntegral<uint32_t>());

  unsigned char word[4];
  storeWord(word, floatToBigEndian(value));
  remapChoiceParameter(numChoices, word, removedCount, removed.data(), insertedCount,
                       inserted.data());
  const float remapped = floatFromBigEndian(loadWord(word));
  if (value >= 0.0f && value <= 1.0f) {
    require(std::bit_cast<uint32_t>(remapped) == std::bit_cast<uint32_t>(reference::remapChoice(
                                                     numChoices, value, removed, inserted)),
            "the remapped value of a selector in 0..1");
  } else {
    require(!std::isnan(remapped), "every value maps to a number");
  }
}

}  // namespace
}  // namespace tunewright

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    tunewright::checkEditing(input);
  } else {
    tunewright::checkRemapping(input);
  }
  return 0;
}
