// Recognising and converting whole images: a program file, or a bank whose program records all
// go through the same recognition, chain and converters as a program file does.

#include "convert/upgrade.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "convert/chain.h"
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

// The length a program record's numParams gives it, or -1 when that is not a record that fits
// in room bytes. Computed in 64 bits, so no count can overflow it.
int32_t recordLength(const unsigned char* record, int32_t room) {
  if (room < kParamsOffset) {
    return -1;
  }
  const int64_t length = kParamsOffset + int64_t{kWordSize} * numParams(record);
  return length >= kParamsOffset && length <= room ? static_cast<int32_t>(length) : -1;
}

// A byteSize of 0 that a host left unfilled: the counts fit the length exactly.
bool byteSizeUnfilled(int32_t length, const unsigned char* program) {
  return byteSize(program) == 0 && recordLength(program, length) == length;
}

void fillByteSize(int32_t length, unsigned char* program) {
  if (byteSizeUnfilled(length, program)) {
    setByteSize(program, length - 8);
  }
}

// Recognises one program, file or record, taking an unfilled byteSize as filled in, and leaves
// it as it was.
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

bool hasBankHeader(int32_t length, const unsigned char* bank) {
  if (length < kBankHeaderSize || length > kImageCapacity ||
      !hasTag(bank, kChunkMagicOffset, "CcnK") || !hasTag(bank, kFxMagicOffset, "FxBk")) {
    return false;
  }
  const int32_t version = loadHeaderCount(bank, kBankVersionOffset);
  const int32_t size = byteSize(bank);
  return (version == 1 || version == 2) && (size == 0 || size == length - 8);
}

// Calls visit(offset, length) for each program record of a bank, in order, while it returns
// true. True when every record was visited and together they fill the bank exactly. Every record
// has at least a header, so a count of any size ends with the bank's bytes.
template <typename Visit>
bool forEachRecord(int32_t length, const unsigned char* bank, Visit visit) {
  const int32_t count = loadHeaderCount(bank, kNumProgramsOffset);
  if (count < 1) {
    return false;
  }
  int32_t offset = kBankHeaderSize;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t recordSize = recordLength(bank + offset, length - offset);
    if (recordSize < 0 || !visit(offset, recordSize)) {
      return false;
    }
    offset += recordSize;
  }
  return offset == length;
}

Recognition recogniseBank(int32_t length, unsigned char* bank) {
  if (!hasBankHeader(length, bank)) {
    return {};
  }
  const Converter* source = nullptr;
  const bool uniform = forEachRecord(length, bank, [&](int32_t offset, int32_t recordSize) {
    unsigned char* record = bank + offset;
    if (std::memcmp(record + kFxIdOffset, bank + kFxIdOffset, 4) != 0) {
      return false;
    }
    const Converter* found = recogniseProgram(recordSize, record);
    if (found == nullptr || (source != nullptr && found->sourceId() != source->sourceId())) {
      return false;
    }
    source = found;
    return true;
  });
  if (!uniform) {
    return {};
  }
  forEachRecord(length, bank, [bank](int32_t offset, int32_t recordSize) {
    fillByteSize(recordSize, bank + offset);
    return true;
  });
  setByteSize(bank, length - 8);
  return {source, ImageKind::kBank};
}

// Converts the program at from into to, which has room bytes, and sets converted to its new
// length.
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

// One step over every record of a bank. The records stay readable by their counts, as every
// host reads a bank, or the step fails.
UpgradeOutcome convertBank(const Converter& step, int32_t length, const unsigned char* from,
                           unsigned char* to, int32_t& converted) {
  std::memcpy(to, from, kBankHeaderSize);
  int32_t written = kBankHeaderSize;
  UpgradeOutcome outcome = UpgradeOutcome::kFailed;
  const bool whole = forEachRecord(length, from, [&](int32_t offset, int32_t recordSize) {
    int32_t recordConverted = 0;
    outcome = convertProgram(step, recordSize, from + offset, to + written,
                             kImageCapacity - written, recordConverted);
    if (outcome == UpgradeOutcome::kUpgraded &&
        recordLength(to + written, recordConverted) != recordConverted) {
      outcome = UpgradeOutcome::kFailed;
    }
    written += recordConverted;
    return outcome == UpgradeOutcome::kUpgraded;
  });
  if (!whole) {
    return outcome == UpgradeOutcome::kUpgraded ? UpgradeOutcome::kFailed : outcome;
  }
  setByteSize(to, written - 8);
  converted = written;
  return UpgradeOutcome::kUpgraded;
}

// One step over the whole image, whatever its kind.
UpgradeOutcome convertWhole(const Converter& step, ImageKind kind, int32_t length,
                            const unsigned char* from, unsigned char* to, int32_t& converted) {
  switch (kind) {
    case ImageKind::kProgram:
      return convertProgram(step, length, from, to, kImageCapacity, converted);
    case ImageKind::kBank:
      return convertBank(step, length, from, to, converted);
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

const OutcomeWords& outcomeWords(UpgradeOutcome outcome) {
  return kOutcomeWords[static_cast<std::size_t>(outcome)];
}

Recognition recogniseImage(int32_t length, unsigned char* data) {
  if (const Converter* source = recogniseProgram(length, data)) {
    fillByteSize(length, data);
    return {source, ImageKind::kProgram};
  }
  return recogniseBank(length, data);
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
    const UpgradeOutcome outcome =
        convertWhole(*step, recognition.kind, length, from, to, converted);
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
