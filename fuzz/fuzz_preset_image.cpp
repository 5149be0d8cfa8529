// Arbitrary bytes through recognition and through every chain that can be planned from the
// recognised format: each step of a program at the file job's capacity and smaller ones, and
// whole images, programs, banks and .vstpreset containers, checking what each conversion
// promises; and the same bytes in a container, which must come out as they do bare.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "convert/chain.h"
#include "convert/upgrade.h"
#include "fuzz_check.h"
#include "preset/preset_image.h"
#include "preset_builder.h"

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
void runStepsAtCapacity(const ConverterList& chain, const uint8_t* input, int32_t size,
                        int32_t capacity) {
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

// A little-endian number of a container, read byte by byte.
uint64_t littleEndianAt(const unsigned char* data, int64_t offset, int32_t size) {
  uint64_t value = 0;
  for (int32_t i = size - 1; i >= 0; --i) {
    value = value << 8 | data[offset + i];
  }
  return value;
}

struct Chunk {
  int64_t entry;  // where its list entry lies
  int64_t offset;
  int64_t size;
};

// The chunks of a container as its list gives them, when they lie back to back from the end of
// the header to the list, which ends the container; otherwise none.
std::vector<Chunk> listedChunks(const unsigned char* data, int64_t length) {
  const uint64_t list = littleEndianAt(data, 40, 8);
  if (list < 48 || list + 8 > static_cast<uint64_t>(length)) {
    return {};
  }
  std::vector<Chunk> chunks;
  uint64_t end = 48;
  for (auto entry = static_cast<int64_t>(list) + 8; entry + 20 <= length; entry += 20) {
    const uint64_t offset = littleEndianAt(data, entry + 4, 8);
    const uint64_t size = littleEndianAt(data, entry + 12, 8);
    if (offset != end || size > list - end) {
      return {};
    }
    chunks.push_back({entry, static_cast<int64_t>(offset), static_cast<int64_t>(size)});
    end += size;
  }
  const auto count = static_cast<int32_t>(littleEndianAt(data, static_cast<int64_t>(list) + 4, 4));
  if (end != list || static_cast<int64_t>(list) + 8 + 20 * int64_t{count} != length) {
    return {};
  }
  return chunks;
}

bool isComp(const unsigned char* data, const Chunk& chunk) {
  return std::memcmp(data + chunk.entry, "Comp", 4) == 0;
}

// What every upgraded program file or bank keeps, bare or in a container: readable by its counts,
// every program there, a bank's header copied but for byteSize.
void checkUpgradedContent(ImageKind kind, const unsigned char* before, int64_t beforeLength,
                          const unsigned char* after, int64_t length) {
  if (kind == ImageKind::kProgram) {
    // As for each step: counts that disagreed with the length before (0.2.3) may still.
    require(!countsMatchLength(before, beforeLength) || countsMatchLength(after, length),
            "length = 56 + 4 x numParams = byteSize + 8");
    return;
  }
  int64_t programs = 0;
  require(recordsFillBank(before, beforeLength, programs),
          "a recognised bank is filled exactly by its records");
  require(byteSize(after) == length - 8, "byteSize is the new length less 8");
  int64_t converted = 0;
  require(recordsFillBank(after, length, converted) && converted == programs,
          "every program is still there, readable by its counts");
  require(std::memcmp(after, before, 4) == 0 &&
              std::memcmp(after + 8, before + 8, kBankHeaderSize - 8) == 0,
          "the bank header is copied but for byteSize");
}

// What an upgraded container keeps: its header but for the list's offset, every chunk in its
// order, all but "Comp" byte for byte, the wrapper, and a list that is true again.
void checkUpgradedContainer(ImageKind content, const unsigned char* before, int64_t beforeLength,
                            const unsigned char* after, int64_t length) {
  const std::vector<Chunk> old = listedChunks(before, beforeLength);
  const std::vector<Chunk> now = listedChunks(after, length);
  require(!old.empty() && now.size() == old.size(),
          "the list tiles the container before and after");
  require(std::memcmp(after, before, 40) == 0, "the header is copied but for the list's offset");
  for (std::size_t i = 0; i < old.size(); ++i) {
    require(std::memcmp(after + now[i].entry, before + old[i].entry, 4) == 0,
            "every chunk keeps its ID and place in the list");
    if (isComp(before, old[i])) {
      require(std::memcmp(after + now[i].offset, before + old[i].offset, 16) == 0,
              "the wrapper is copied");
      checkUpgradedContent(content, before + old[i].offset + 16, old[i].size - 16,
                           after + now[i].offset + 16, now[i].size - 16);
    } else {
      require(
          now[i].size == old[i].size && std::memcmp(after + now[i].offset, before + old[i].offset,
                                                    static_cast<std::size_t>(old[i].size)) == 0,
          "every other chunk is copied byte for byte");
    }
  }
}

// The latest format, and every format some converter produces.
std::vector<FormatId> everyTarget() {
  std::vector<FormatId> targets = {-1};
  for (const Converter* converter : sortedConverters) {
    targets.push_back(converter->targetId());
  }
  return targets;
}

// The image upgraded to target as the file job runs it, or nothing when it is not upgraded.
std::vector<unsigned char> upgraded(const unsigned char* input, int32_t size, FormatId target) {
  static const auto image = std::make_unique<ImageBuffer>();
  static const auto spare = std::make_unique<ImageBuffer>();
  static ConverterList chain;
  std::memcpy(image->data(), input, static_cast<std::size_t>(size));
  const Conversion conversion = recogniseAndUpgrade(size, target, *image, *spare, chain, nullptr);
  if (conversion.outcome != UpgradeOutcome::kUpgraded) {
    return {};
  }
  require(conversion.length > 0 && conversion.length <= kImageCapacity,
          "the result fits the image buffer");
  return {image->begin(), image->begin() + conversion.length};
}

// Recognition and whole-image upgrades, to every target, as the file job runs them.
void upgradeWholeImage(const uint8_t* input, int32_t size) {
  static const auto image = std::make_unique<ImageBuffer>();
  std::memcpy(image->data(), input, static_cast<std::size_t>(size));
  const Recognition recognition = recogniseImage(size, image->data());
  if (recognition.source == nullptr) {
    require(std::memcmp(image->data(), input, static_cast<std::size_t>(size)) == 0,
            "an image that is not recognised is left untouched");
    return;
  }
  const std::vector<unsigned char> recognised(image->begin(), image->begin() + size);
  const std::vector<Chunk> chunks = listedChunks(recognised.data(), size);
  require(
      recognition.kind != ImageKind::kVstPreset ||
          std::count_if(chunks.begin(), chunks.end(),
                        [&](const Chunk& chunk) { return isComp(recognised.data(), chunk); }) == 1,
      "a recognised container's list tiles it, with one \"Comp\"");
  for (const FormatId target : everyTarget()) {
    const std::vector<unsigned char> result = upgraded(recognised.data(), size, target);
    if (result.empty()) {
      continue;
    }
    const auto length = static_cast<int64_t>(result.size());
    if (recognition.kind == ImageKind::kVstPreset) {
      checkUpgradedContainer(recognition.content, recognised.data(), size, result.data(), length);
    } else if (recognition.kind == ImageKind::kBank) {
      checkUpgradedContent(ImageKind::kBank, recognised.data(), size, result.data(), length);
    }
  }
}

// The bytes in a container as hosts save one: recognised and upgraded to every target exactly as
// they are bare, the container around them kept.
void compareInContainer(const uint8_t* input, int32_t size) {
  const testing::Image container = testing::makeVstPreset({input, input + size});
  if (container.length() > kImageCapacity) {
    return;
  }
  static const auto image = std::make_unique<ImageBuffer>();
  std::memcpy(image->data(), input, static_cast<std::size_t>(size));
  const Recognition bare = recogniseImage(size, image->data());
  if (bare.kind == ImageKind::kVstPreset) {
    return;  // a container is never content
  }
  std::memcpy(image->data(), container.data(), container.bytes.size());
  const Recognition wrapped = recogniseImage(container.length(), image->data());
  require(wrapped.source == bare.source &&
              (bare.source == nullptr ||
               (wrapped.kind == ImageKind::kVstPreset && wrapped.content == bare.kind)),
          "a container's content is recognised as it is bare");
  if (bare.source == nullptr) {
    return;
  }
  for (const FormatId target : everyTarget()) {
    const std::vector<unsigned char> alone = upgraded(input, size, target);
    const std::vector<unsigned char> inside =
        upgraded(container.data(), container.length(), target);
    require(inside.empty() == alone.empty() &&
                (alone.empty() || inside == testing::makeVstPreset(alone).bytes),
            "a container's content is upgraded as it is bare");
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
  compareInContainer(data, length);
  if (length > kProgramCapacity) {
    return 0;
  }
  const auto recognised =
      std::find_if(sortedConverters.begin(), sortedConverters.end(),
                   [&](const Converter* c) { return c->accepts(length, data); });
  if (recognised == sortedConverters.end()) {
    return 0;
  }
  for (const FormatId target : everyTarget()) {
    ConverterList chain;
    if (!buildChain((*recognised)->sourceId(), target, chain)) {
      fuzz::require(chain.empty(), "a failed search leaves the chain empty");
      continue;
    }
    for (const int32_t capacity : {kProgramCapacity, 272, 271, 268, 267, 88, 87, length, 0}) {
      runStepsAtCapacity(chain, data, length, capacity);
    }
  }
  return 0;
}
