// Arbitrary bytes through recognition and through every chain that can be planned from the
// recognised format: each step of a program at the file job's capacity and smaller ones, and
// whole images, programs and banks, checking what each conversion promises.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "convert/chain.h"
#include "convert/upgrade.h"
#include "fuzz_check.h"
#include "preset/preset_image.h"

namespace tunewright {
namespace {

using fuzz::require;

constexpr std::size_t kGuardSize = 64;
constexpr unsigned char kGuardByte = 0xA5;

int64_t headerCount(const unsigned char* data, int32_t offset) {
  return static_cast<int32_t>(bigEndian32(loadWord(data + offset)));
}

// Whether length = 56 + 4 x numParams = byteSize + 8, in arithmetic that cannot overflow.
bool countsMatchLength(const unsigned char* data, int64_t length) {
  return length == kParamsOffset + kWordSize * headerCount(data, kNumParamsOffset) &&
         length == headerCount(data, kByteSizeOffset) + 8;
}

bool sameRange(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
               std::size_t from, std::size_t to) {
  return std::equal(a.begin() + static_cast<std::ptrdiff_t>(from),
                    a.begin() + static_cast<std::ptrdiff_t>(to),
                    b.begin() + static_cast<std::ptrdiff_t>(from));
}

// Runs the chain over a copy of the input in a buffer of the given capacity followed by a
// guard region.
void runChain(const ConverterList& chain, const uint8_t* input, int32_t size, int32_t capacity) {
  std::vector<unsigned char> buffer(static_cast<std::size_t>(std::max(capacity, size)) + kGuardSize,
                                    kGuardByte);
  std::memcpy(buffer.data(), input, static_cast<std::size_t>(size));
  int32_t length = size;
  for (const Converter* step : chain) {
    require(step->accepts(length, buffer.data()), "every step accepts what the last one left");
    // The 0.2.3 layout is told by its marker alone and its counts pass through untested, so
    // an image whose counts already disagree with its length keeps them.
    const bool consistent = countsMatchLength(buffer.data(), length);
    const std::vector<unsigned char> before = buffer;
    const int32_t result = step->convert(length, capacity, buffer.data());
    if (result == -1) {
      require(buffer == before, "a failed step leaves the image untouched");
      return;
    }
    require(result > 0, "a step returns a positive length or -1");
    require(result <= std::max(capacity, length), "a step stays within its capacity");
    require(!consistent || countsMatchLength(buffer.data(), result),
            "length = 56 + 4 x numParams = byteSize + 8");
    require(sameRange(buffer, before, 0, 4) && sameRange(buffer, before, 8, 24) &&
                sameRange(buffer, before, 28, 56),
            "header bytes other than byteSize and numParams are unchanged");
    require(sameRange(buffer, before, static_cast<std::size_t>(result), buffer.size()),
            "nothing past the returned length is written");
    length = result;
  }
}

// The records of a bank: true when numPrograms records, read by their counts, fill it exactly.
bool recordsFillBank(const unsigned char* bank, int64_t length, int64_t& programs) {
  programs = static_cast<int32_t>(loadBigEndian32(bank, kNumProgramsOffset));
  int64_t offset = kBankHeaderSize;
  for (int64_t i = 0; i < programs && offset + kParamsOffset <= length; ++i) {
    offset += kParamsOffset + kWordSize * int64_t{numParams(bank + offset)};
  }
  return offset == length;
}

// Recognition and whole-image upgrades, to every target, as the file job runs them.
void upgradeWholeImage(const uint8_t* input, int32_t size) {
  static const auto image = std::make_unique<ImageBuffer>();
  static const auto spare = std::make_unique<ImageBuffer>();
  std::memcpy(image->data(), input, static_cast<std::size_t>(size));
  const Recognition recognition = recogniseImage(size, image->data());
  if (recognition.source == nullptr) {
    require(std::memcmp(image->data(), input, static_cast<std::size_t>(size)) == 0,
            "an image that is not recognised is left untouched");
    return;
  }
  const std::vector<unsigned char> recognised(image->begin(), image->begin() + size);
  int64_t programs = 0;
  require(
      recognition.kind != ImageKind::kBank || recordsFillBank(recognised.data(), size, programs),
      "a recognised bank is filled exactly by its records");
  std::vector<FormatId> targets = {-1};
  for (const Converter* converter : sortedConverters) {
    targets.push_back(converter->targetId());
  }
  for (const FormatId target : targets) {
    ConverterList chain;
    if (!buildChain(recognition.source->sourceId(), target, chain)) {
      continue;
    }
    std::memcpy(image->data(), recognised.data(), recognised.size());
    int32_t length = size;
    if (upgradeImage(chain, recognition, length, *image, *spare, nullptr) !=
        UpgradeOutcome::kUpgraded) {
      continue;
    }
    require(length > 0 && length <= kImageCapacity, "the result fits the image buffer");
    if (recognition.kind == ImageKind::kBank) {
      require(byteSize(image->data()) == length - 8, "byteSize is the new length less 8");
      int64_t converted = 0;
      require(recordsFillBank(image->data(), length, converted) && converted == programs,
              "every program is still there, readable by its counts");
      require(std::memcmp(image->data(), recognised.data(), 4) == 0 &&
                  std::memcmp(image->data() + 8, recognised.data() + 8, kBankHeaderSize - 8) == 0,
              "the bank header is copied but for byteSize");
    }
  }
}

}  // namespace
}  // namespace tunewright

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tunewright::snapshotConverters();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace tunewright;
  if (size > static_cast<std::size_t>(kImageCapacity)) {
    return 0;
  }
  const auto length = static_cast<int32_t>(size);
  upgradeWholeImage(data, length);
  if (length > kPresetCapacity) {
    return 0;
  }
  const auto recognised =
      std::find_if(sortedConverters.begin(), sortedConverters.end(),
                   [&](const Converter* c) { return c->accepts(length, data); });
  if (recognised == sortedConverters.end()) {
    return 0;
  }
  // The latest format, and every format some converter produces.
  std::vector<FormatId> targets = {-1};
  for (const Converter* converter : sortedConverters) {
    targets.push_back(converter->targetId());
  }
  for (const FormatId target : targets) {
    ConverterList chain;
    if (!buildChain((*recognised)->sourceId(), target, chain)) {
      fuzz::require(chain.empty(), "a failed search leaves the chain empty");
      continue;
    }
    for (const int32_t capacity : {kPresetCapacity, 272, 271, 268, 267, 88, 87, length, 0}) {
      runChain(chain, data, length, capacity);
    }
  }
  return 0;
}
