#pragma once

// Builds preset images for the converter tests: the 56-byte header with chosen counts, then
// big-endian parameter words.

#include <cstdint>
#include <cstring>
#include <vector>

#include "preset/preset_image.h"

namespace tunewright::testing {

struct Image {
  std::vector<unsigned char> bytes;

  int32_t length() const { return static_cast<int32_t>(bytes.size()); }
  const unsigned char* data() const { return bytes.data(); }
  uint32_t word(int32_t index) const { return loadWord(bytes.data() + kParamsOffset + 4 * index); }
  float param(int32_t index) const { return floatFromBigEndian(word(index)); }
  uint32_t paramBits(int32_t index) const { return bigEndian32(word(index)); }
  int32_t headerCount(int32_t offset) const {
    return static_cast<int32_t>(bigEndian32(loadWord(bytes.data() + offset)));
  }
  void setParam(int32_t index, float value) {
    storeWord(bytes.data() + kParamsOffset + 4 * index, floatToBigEndian(value));
  }
  void setParamBits(int32_t index, uint32_t bits) {
    storeWord(bytes.data() + kParamsOffset + 4 * index, bigEndian32(bits));
  }
};

// An image of count parameters, all 0.0, with matching big-endian counts and the published
// header values elsewhere.
inline Image makeImage(const char (&fxId)[5], int32_t count) {
  Image image;
  image.bytes.assign(static_cast<std::size_t>(presetLength(count)), 0);
  unsigned char* data = image.bytes.data();
  std::memcpy(data, "CcnK", 4);
  storeWord(data + kByteSizeOffset, bigEndian32(static_cast<uint32_t>(presetLength(count) - 8)));
  std::memcpy(data + 8, "FxCk", 4);
  storeWord(data + 12, bigEndian32(1));
  std::memcpy(data + kFxIdOffset, fxId, 4);
  storeWord(data + 20, bigEndian32(1));
  storeWord(data + kNumParamsOffset, bigEndian32(static_cast<uint32_t>(count)));
  std::memcpy(data + 28, "Test preset", 11);
  return image;
}

// A bank of the given programs (version 1, the first program's plug-in ID), as hosts save it.
inline Image makeBank(const std::vector<Image>& programs) {
  Image bank;
  bank.bytes.assign(static_cast<std::size_t>(kBankHeaderSize), 0);
  std::memcpy(bank.bytes.data(), "CcnK", 4);
  std::memcpy(bank.bytes.data() + kFxMagicOffset, "FxBk", 4);
  storeBigEndian32(bank.bytes.data(), kBankVersionOffset, 1);
  std::memcpy(bank.bytes.data() + kFxIdOffset, programs.front().data() + kFxIdOffset, 4);
  storeBigEndian32(bank.bytes.data(), kNumProgramsOffset, static_cast<uint32_t>(programs.size()));
  for (const Image& program : programs) {
    bank.bytes.insert(bank.bytes.end(), program.bytes.begin(), program.bytes.end());
  }
  setByteSize(bank.bytes.data(), bank.length() - 8);
  return bank;
}

// Fills the header bytes that no converter may read or write with a pattern.
inline void scribbleUninterpretedHeader(Image& image) {
  for (const auto& [from, to] :
       {std::pair{0, 4}, std::pair{8, 16}, std::pair{20, 24}, std::pair{28, 56}}) {
    for (int i = from; i < to; ++i) {
      image.bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(0xA0 + i);
    }
  }
}

// Whether the uninterpreted header bytes are the same in both images.
inline bool sameUninterpretedHeader(const Image& a, const Image& b) {
  for (const auto& [from, to] :
       {std::pair{0, 4}, std::pair{8, 16}, std::pair{16, 24}, std::pair{28, 56}}) {
    if (std::memcmp(a.data() + from, b.data() + from, static_cast<std::size_t>(to - from)) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace tunewright::testing
