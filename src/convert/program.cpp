// Program records: a program file (.fxp) is one, and banks and containers hold them. Their length,
// the byteSize a host left unfilled, their recognition and one step over one of them.

#include <algorithm>
#include <cstring>

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
  if (length < kParamsOffset || length > kProgramCapacity ||
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

UpgradeOutcome applyStepToProgram(const Converter& step, int32_t length, const unsigned char* from,
                                  unsigned char* to, int32_t room, int32_t& converted) {
  if (!step.accepts(length, from)) {
    return UpgradeOutcome::kInputMismatch;
  }
  if (length > room) {
    return UpgradeOutcome::kFailed;
  }
  std::memcpy(to, from, static_cast<std::size_t>(length));
  const int32_t capacity = std::min(kProgramCapacity, room);
  converted = step.convert(length, capacity, to);
  // A length past the capacity would be a converter fault; refuse it rather than write it.
  return converted > 0 && converted <= capacity ? UpgradeOutcome::kUpgraded
                                                : UpgradeOutcome::kFailed;
}

}  // namespace tunewright
