// The road for every image: program files, and the recognition, chain and steps that every other
// kind of image shares with them.

#include "convert/upgrade.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "convert/chain.h"
#include "convert/image_kinds.h"
#include "preset/preset_image.h"

namespace tunewright {

namespace {

const Converter* firstAccepting(int32_t length, const unsigned char* data) {
  for (const Converter* converter : sortedConverters) {
    if (converter->accepts(length, data)) {
      return converter;
    }
  }
  return nullptr;
}

// A byteSize of 0 that a host left unfilled: the counts fit the length exactly.
bool byteSizeUnfilled(int32_t length, const unsigned char* program) {
  return byteSize(program) == 0 && recordLength(program, length) == length;
}

// One step over the whole image, whatever its kind.
UpgradeOutcome convertWhole(const Converter& step, const Recognition& recognition, int32_t length,
                            const unsigned char* from, unsigned char* to, int32_t& converted) {
  switch (recognition.kind) {
    case ImageKind::kProgram:
    case ImageKind::kBank:
      return convertContent(step, recognition.kind, length, from, to, kImageCapacity, converted);
    case ImageKind::kVstPreset:
      return convertVstPreset(step, recognition.content, length, from, to, converted);
  }
  return UpgradeOutcome::kFailed;
}

// Indexed by UpgradeOutcome.
constexpr OutcomeWords kOutcomeWords[] = {
    {0, ""},  // no-mutate(constant): not an error, so its severity is never read
    {0, ""},  // no-mutate(constant): not an error, so its severity is never read
    {1, "Unrecognized source format: "},
    {1, "Couldn't make converter chain: "},
    {2, "Converter input does not match source format: "},
    {2, "Conversion failed: "},
};
static_assert(std::size(kOutcomeWords) == kUpgradeOutcomeCount);

}  // namespace

// Computed in 64 bits, so no count can overflow it.
int32_t recordLength(const unsigned char* record, int32_t room) {
  if (room < kParamsOffset) {
    return -1;
  }
  const int64_t length = kParamsOffset + int64_t{kWordSize} * numParams(record);
  return length >= kParamsOffset && length <= room ? static_cast<int32_t>(length) : -1;
}

void fillByteSize(int32_t length, unsigned char* program) {
  if (byteSizeUnfilled(length, program)) {
    setByteSize(program, length - 8);
  }
}

const Converter* recogniseProgram(int32_t length, unsigned char* program) {
  if (length < kParamsOffset || length > kPresetCapacity ||
      !hasTag(program, kChunkMagicOffset, "CcnK") || !hasTag(program, kFxMagicOffset, "FxCk")) {
    return nullptr;
  }
  const bool unfilled = byteSizeUnfilled(length, program);
  if (unfilled) {
    setByteSize(program, length - 8);
  }
  const Converter* source = firstAccepting(length, program);
  if (unfilled) {
    setByteSize(program, 0);
  }
  return source;
}

UpgradeOutcome convertProgram(const Converter& step, int32_t length, const unsigned char* from,
                              unsigned char* to, int32_t room, int32_t& converted) {
  if (!step.accepts(length, from)) {
    return UpgradeOutcome::kInputMismatch;
  }
  if (length > room) {
    return UpgradeOutcome::kFailed;
  }
  std::memcpy(to, from, static_cast<std::size_t>(length));
  const int32_t capacity = std::min(kPresetCapacity, room);
  converted = step.convert(length, capacity, to);
  // A length past the capacity would be a converter fault; refuse it rather than write it.
  return converted > 0 && converted <= capacity ? UpgradeOutcome::kUpgraded
                                                : UpgradeOutcome::kFailed;
}

Recognition recogniseContent(int32_t length, unsigned char* data) {
  if (const Converter* source = recogniseProgram(length, data)) {
    fillByteSize(length, data);
    return {source, ImageKind::kProgram, ImageKind::kProgram};
  }
  return recogniseBank(length, data);
}

UpgradeOutcome convertContent(const Converter& step, ImageKind content, int32_t length,
                              const unsigned char* from, unsigned char* to, int32_t room,
                              int32_t& converted) {
  return content == ImageKind::kBank ? convertBank(step, length, from, to, room, converted)
                                     : convertProgram(step, length, from, to, room, converted);
}

const OutcomeWords& outcomeWords(UpgradeOutcome outcome) {
  return kOutcomeWords[static_cast<std::size_t>(outcome)];
}

Recognition recogniseImage(int32_t length, unsigned char* data) {
  // A program file or a bank, else a container around one.
  for (const auto recognise : {recogniseContent, recogniseVstPreset}) {
    const Recognition found = recognise(length, data);
    if (found.source != nullptr) {
      return found;
    }
  }
  return {};
}

UpgradeOutcome upgradeImage(const ConverterList& chain, const Recognition& recognition,
                            int32_t& length, ImageBuffer& image, ImageBuffer& spare,
                            StepObserver* observer) {
  // Each step reads one buffer and writes the other.
  unsigned char* from = image.data();
  unsigned char* to = spare.data();
  if (observer != nullptr) {
    observer->chainStarting();
  }
  for (const Converter* step : chain) {
    if (observer != nullptr) {
      observer->stepStarting(*step);
    }
    int32_t converted = 0;
    const UpgradeOutcome outcome = convertWhole(*step, recognition, length, from, to, converted);
    if (outcome != UpgradeOutcome::kUpgraded) {
      return outcome;
    }
    std::swap(from, to);
    length = converted;
    if (observer != nullptr) {
      observer->stepFinished(length, from);
    }
  }
  if (from != image.data()) {
    std::memcpy(image.data(), from, static_cast<std::size_t>(length));
  }
  return UpgradeOutcome::kUpgraded;
}

Conversion convertImage(int32_t length, FormatId target, ImageBuffer& image, ImageBuffer& spare,
                        ConverterList& chain, StepObserver* observer) {
  chain.clear();
  Conversion conversion;
  conversion.recognition = recogniseImage(length, image.data());
  const Converter* source = conversion.recognition.source;
  if (source == nullptr) {
    conversion.outcome = UpgradeOutcome::kUnrecognised;
  } else if (!buildChain(source->sourceId(), target, chain)) {
    conversion.outcome = UpgradeOutcome::kNoChain;
  } else if (chain.empty()) {
    conversion.outcome = UpgradeOutcome::kAlreadyCurrent;
  } else {
    conversion.outcome =
        upgradeImage(chain, conversion.recognition, length, image, spare, observer);
    if (conversion.outcome == UpgradeOutcome::kUpgraded) {
      conversion.length = length;
    }
  }
  return conversion;
}

}  // namespace tunewright
