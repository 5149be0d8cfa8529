// The per-preset arithmetic, in memory: recognition with the Tavlora chain, on a program, a bank
// and the bank in a .vstpreset container, and the editing and remapping routines on their own.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "convert/chain.h"
#include "convert/upgrade.h"
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

// Recognition, planning and the whole chain over one image, as the file job runs them.
void upgradeToNewest(benchmark::State& state, const testing::Image& original) {
  snapshotConverters();
  static ImageBuffer image;
  static ImageBuffer spare;
  ConverterList chain;
  chain.reserve(sortedConverters.size());
  for (auto _ : state) {
    std::memcpy(image.data(), original.data(), original.bytes.size());
    const Conversion conversion =
        recogniseAndUpgrade(original.length(), -1, image, spare, chain, nullptr);
    if (conversion.outcome != UpgradeOutcome::kUpgraded) {
      state.SkipWithError("the upgrade failed");
      break;
    }
    benchmark::DoNotOptimize(image.data());
    benchmark::DoNotOptimize(conversion.length);
  }
}

void RecogniseAndConvertTavloraToNewest(benchmark::State& state) {
  upgradeToNewest(state, tavlora012());
}
BENCHMARK(RecogniseAndConvertTavloraToNewest);

// One preset in a container: the container's own work shows against the preset's 0.3 us.
void RecogniseAndConvertTavloraInVstPreset(benchmark::State& state) {
  upgradeToNewest(state, testing::makeVstPreset(tavlora012().bytes));
}
BENCHMARK(RecogniseAndConvertTavloraInVstPreset);

testing::Image tavloraBankOf128() {
  return testing::makeBank(std::vector<testing::Image>(128, tavlora012()));
}

void RecogniseAndConvertTavloraBankOf128(benchmark::State& state) {
  upgradeToNewest(state, tavloraBankOf128());
}
BENCHMARK(RecogniseAndConvertTavloraBankOf128);

// The same bank as a host saves it from its preset menu: what the container adds.
void RecogniseAndConvertTavloraBankOf128InVstPreset(benchmark::State& state) {
  upgradeToNewest(state, testing::makeVstPreset(tavloraBankOf128().bytes));
}
BENCHMARK(RecogniseAndConvertTavloraBankOf128InVstPreset);

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
