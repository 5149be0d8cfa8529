#pragma once

// The preset image: a VST program file in memory. A 56-byte header, then one big-endian
// single-precision word per parameter. Only byteSize, fxID, numParams and the parameter words
// are interpreted; every other byte passes through unread.

#include <cstdint>
#include <cstring>

#include "preset/byte_order.h"

namespace tunewright {

// Size of the one image buffer: the most of a file that is ever read, and the capacity every
// conversion is given.
inline constexpr int32_t kPresetCapacity = 2048;

inline constexpr int32_t kByteSizeOffset = 4;    // length - 8, big-endian
inline constexpr int32_t kFxIdOffset = 16;       // four characters naming the plug-in
inline constexpr int32_t kNumParamsOffset = 24;  // big-endian
inline constexpr int32_t kParamsOffset = 56;     // the first parameter word
inline constexpr int32_t kWordSize = 4;

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

// The four characters at fxID, compared byte for byte.
inline bool hasPluginId(const unsigned char* data, const char (&id)[5]) {
  return std::memcmp(data + kFxIdOffset, id, 4) == 0;
}

// Compares a header count as stored: only the big-endian encoding of value matches.
inline bool headerCountIs(const unsigned char* data, int32_t offset, int32_t value) {
  return loadWord(data + offset) == bigEndian32(static_cast<uint32_t>(value));
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
  return loadWord(data + kParamsOffset) == bigEndian32(bits);
}

// Raises byteSize and numParams for added parameters, relative to what they hold.
inline void raiseParameterCounts(unsigned char* data, int32_t added) {
  const auto raise = [data](int32_t offset, uint32_t amount) {
    storeWord(data + offset, bigEndian32(bigEndian32(loadWord(data + offset)) + amount));
  };
  raise(kByteSizeOffset, static_cast<uint32_t>(kWordSize * added));
  raise(kNumParamsOffset, static_cast<uint32_t>(added));
}

}  // namespace tunewright
