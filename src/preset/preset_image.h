#pragma once

// The preset image: a VST program file in memory, or a bank of them. A program is a 56-byte
// header, then one big-endian single-precision word per parameter; only its byteSize, fxID,
// numParams and parameter words are interpreted, and every other byte passes through unread. A
// bank is a 156-byte header followed by program records laid out exactly as program files.

#include <cstdint>
#include <cstring>

#include "preset/byte_order.h"

namespace tunewright {

// The most one program record may hold, wherever it lies (a program file, a bank, a container),
// and the capacity every conversion of one is given.
inline constexpr int32_t kProgramCapacity = 2048;

inline constexpr int32_t kChunkMagicOffset = 0;  // "CcnK" in programs and banks
inline constexpr int32_t kByteSizeOffset = 4;    // length - 8, big-endian; 0 when not filled in
inline constexpr int32_t kFxMagicOffset = 8;     // "FxCk" for a program, "FxBk" for a bank
inline constexpr int32_t kFxIdOffset = 16;       // four characters naming the plug-in
inline constexpr int32_t kNumParamsOffset = 24;  // big-endian
inline constexpr int32_t kParamsOffset = 56;     // the first parameter word
inline constexpr int32_t kWordSize = 4;

inline constexpr int32_t kBankVersionOffset = 12;  // 1, or 2 with currentProgram at 28
inline constexpr int32_t kNumProgramsOffset = 24;  // big-endian
inline constexpr int32_t kBankHeaderSize = 156;    // the first program record

// The length of an image holding count parameters.
constexpr int32_t presetLength(int32_t count) {
  return kParamsOffset + kWordSize * count;
}

// A raw word: four image bytes taken as one host word, without any byte swap.
inline uint32_t loadWord(const unsigned char* at) {
  uint32_t word;
  std::memcpy(&word, at, sizeof word);
  return word;
}

inline void storeWord(unsigned char* at, uint32_t word) {
  std::memcpy(at, &word, sizeof word);
}

// A big-endian single-precision value, such as a parameter word.
inline float loadFloat(const unsigned char* at) {
  return floatFromBigEndian(loadWord(at));
}

inline void storeFloat(unsigned char* at, float value) {
  storeWord(at, floatToBigEndian(value));
}

// A big-endian 32-bit field at an offset.
inline uint32_t loadBigEndian32(const unsigned char* data, int32_t offset) {
  return bigEndian32(loadWord(data + offset));
}

inline void storeBigEndian32(unsigned char* data, int32_t offset, uint32_t value) {
  storeWord(data + offset, bigEndian32(value));
}

// Little-endian fields at an offset, as the container hosts save presets in and a ZIP archive
// (a project) hold them.
inline uint16_t loadLittleEndian16(const unsigned char* data, int32_t offset) {
  uint16_t half;
  std::memcpy(&half, data + offset, sizeof half);
  return littleEndian16(half);
}

inline void storeLittleEndian16(unsigned char* data, int32_t offset, uint16_t value) {
  const uint16_t half = littleEndian16(value);
  std::memcpy(data + offset, &half, sizeof half);
}

inline uint32_t loadLittleEndian32(const unsigned char* data, int32_t offset) {
  return littleEndian32(loadWord(data + offset));
}

inline void storeLittleEndian32(unsigned char* data, int32_t offset, uint32_t value) {
  storeWord(data + offset, littleEndian32(value));
}

inline uint64_t loadLittleEndian64(const unsigned char* data, int32_t offset) {
  uint64_t word;
  std::memcpy(&word, data + offset, sizeof word);
  return littleEndian64(word);
}

inline void storeLittleEndian64(unsigned char* data, int32_t offset, uint64_t value) {
  const uint64_t word = littleEndian64(value);
  std::memcpy(data + offset, &word, sizeof word);
}

// A signed header field, such as byteSize or numParams.
inline int32_t loadHeaderCount(const unsigned char* data, int32_t offset) {
  return static_cast<int32_t>(loadBigEndian32(data, offset));
}

inline int32_t byteSize(const unsigned char* data) {
  return loadHeaderCount(data, kByteSizeOffset);
}

inline void setByteSize(unsigned char* data, int32_t value) {
  storeBigEndian32(data, kByteSizeOffset, static_cast<uint32_t>(value));
}

inline int32_t numParams(const unsigned char* data) {
  return loadHeaderCount(data, kNumParamsOffset);
}

// The n-th parameter word.
inline unsigned char* parameterWord(unsigned char* data, int32_t n) {
  return data + kParamsOffset + kWordSize * n;
}

inline const unsigned char* parameterWord(const unsigned char* data, int32_t n) {
  return data + kParamsOffset + kWordSize * n;
}

// Four characters at an offset (a magic or the plug-in ID), compared byte for byte.
inline bool hasTag(const unsigned char* data, int32_t offset, const char (&tag)[5]) {
  return std::memcmp(data + offset, tag, 4) == 0;
}

inline bool hasPluginId(const unsigned char* data, const char (&id)[5]) {
  return hasTag(data, kFxIdOffset, id);
}

// Compares a header count as stored: only the big-endian encoding of value matches.
inline bool headerCountIs(const unsigned char* data, int32_t offset, int32_t value) {
  return loadHeaderCount(data, offset) == value;
}

// The recognition of a layout told by its exact length, its plug-in ID and both header counts,
// compared as stored.
inline bool hasCountedLayout(int32_t length, const unsigned char* data, const char (&id)[5],
                             int32_t count) {
  return length == presetLength(count) && hasPluginId(data, id) &&
         headerCountIs(data, kByteSizeOffset, presetLength(count) - 8) &&
         headerCountIs(data, kNumParamsOffset, count);
}

// Compares parameter 0, the layout marker of some formats, with a bit pattern.
inline bool markerIs(const unsigned char* data, uint32_t bits) {
  return loadBigEndian32(data, kParamsOffset) == bits;
}

// Raises byteSize and numParams for added parameters, relative to what they hold.
inline void raiseParameterCounts(unsigned char* data, int32_t added) {
  const auto raise = [data](int32_t offset, uint32_t amount) {
    storeBigEndian32(data, offset, loadBigEndian32(data, offset) + amount);
  };
  raise(kByteSizeOffset, static_cast<uint32_t>(kWordSize * added));
  raise(kNumParamsOffset, static_cast<uint32_t>(added));
}

}  // namespace tunewright
