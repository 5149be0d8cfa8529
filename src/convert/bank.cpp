// Banks (.fxb): a bank header followed by program records, every one of which goes through the
// same recognition, chain and converters as a program file does; and what a file of programs
// is, a program file or a bank, which a container holds too.

#include <cstring>

#include "convert/image_kinds.h"
#include "preset/preset_image.h"

namespace tunewright {

namespace {

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

}  // namespace

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
  return {source, ImageKind::kBank, ImageKind::kBank};
}

// One step over every record of a bank, into room bytes (never fewer than the bank has). The
// records stay readable by their counts, as every host reads a bank, or the step fails.
UpgradeOutcome applyStepToBank(const Converter& step, int32_t length, const unsigned char* from,
                               unsigned char* to, int32_t room, int32_t& converted) {
  std::memcpy(to, from, kBankHeaderSize);
  int32_t written = kBankHeaderSize;
  UpgradeOutcome outcome = UpgradeOutcome::kFailed;
  const bool whole = forEachRecord(length, from, [&](int32_t offset, int32_t recordSize) {
    int32_t recordConverted = 0;
    outcome = applyStepToProgram(step, recordSize, from + offset, to + written, room - written,
                                 recordConverted);
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

Recognition recogniseContent(int32_t length, unsigned char* data) {
  if (const Converter* source = recogniseProgram(length, data)) {
    fillByteSize(length, data);
    return {source, ImageKind::kProgram, ImageKind::kProgram};
  }
  return recogniseBank(length, data);
}

UpgradeOutcome applyStepToContent(const Converter& step, ImageKind content, int32_t length,
                                  const unsigned char* from, unsigned char* to, int32_t room,
                                  int32_t& converted) {
  return content == ImageKind::kBank ? applyStepToBank(step, length, from, to, room, converted)
                                     : applyStepToProgram(step, length, from, to, room, converted);
}

}  // namespace tunewright
