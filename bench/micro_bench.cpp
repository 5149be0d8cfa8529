// The per-preset arithmetic, in memory: recognition with the Tavlora chain, and the editing and
// remapping routines on their own.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "convert/chain.h"
#include "preset/byte_order.h"
#include "preset/choice_remapping.h"
#include "preset/parameter_editing.h"
#include "preset/preset_image.h"
#include "preset_builder.h"

namespace tunewright {
namespace {

// A Tavlora 0.1.2 image with a recognisable ramp of values, built as the tests build theirs.
testing::Image tavlora012() {
  testing::Image image = testing::makeImage("Tvla", 50);
  for (int32_t i = 0; i < 50; ++i) {
    image.setParam(i, static_cast<float>(i % 10) / 10.0f);
  }
  return image;
}

void RecogniseAndConvertTavloraToNewest(benchmark::State& state) {
  snapshotConverters();
  const auto original = tavlora012();
  std::array<unsigned char, kPresetCapacity> buffer;
  ConverterList chain;
  chain.reserve(sortedConverters.size());
  for (auto _ : state) {
    std::memcpy(buffer.data(), original.data(), original.bytes.size());
    int32_t length = original.length();
    const auto source =
        std::find_if(sortedConverters.begin(), sortedConverters.end(),
                     [&](const Converter* c) { return c->accepts(length, buffer.data()); });
    chain.clear();
    buildChain((*source)->sourceId(), -1, chain);
    for (const Converter* step : chain) {
      if (!step->accepts(length, buffer.data())) {
        state.SkipWithError("chain step refused the image");
        break;
      }
      length = step->convert(length, kPresetCapacity, buffer.data());
    }
    benchmark::DoNotOptimize(buffer.data());
    benchmark::DoNotOptimize(length);
  }
}
BENCHMARK(RecogniseAndConvertTavloraToNewest);

void InsertThreeIntoFifty(benchmark::State& state) {
  std::array<uint32_t, 64> words{};
  const int32_t positions[] = {10, 36, 52};
  const uint32_t values[] = {1, 2, 3};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        insertParameters(50, reinterpret_cast<unsigned char*>(words.data()), 3, positions, values));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(InsertThreeIntoFifty);

void MoveLastToFront(benchmark::State& state) {
  std::array<uint32_t, 64> words{};
  const int32_t removed[] = {52};
  const int32_t inserted[] = {0, 1};
  const uint32_t values[] = {1, 2};
  for (auto _ : state) {
    benchmark::DoNotOptimize(replaceParameters(53, reinterpret_cast<unsigned char*>(words.data()),
                                               1, removed, 2, inserted, values));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(MoveLastToFront);

void RemoveFourOfFifty(benchmark::State& state) {
  std::array<uint32_t, 64> words{};
  const int32_t removed[] = {0, 2, 3, 40};
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        removeParameters(50, reinterpret_cast<unsigned char*>(words.data()), 4, removed));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(RemoveFourOfFifty);

void RemapOneSelector(benchmark::State& state) {
  unsigned char word[4];
  const int32_t inserted[] = {5};
  for (auto _ : state) {
    storeWord(word, floatToBigEndian(0.83416748046875f));
    remapChoiceParameter(6, word, 0, nullptr, 1, inserted);
    benchmark::DoNotOptimize(word);
  }
}
BENCHMARK(RemapOneSelector);

}  // namespace
}  // namespace tunewright

BENCHMARK_MAIN();
