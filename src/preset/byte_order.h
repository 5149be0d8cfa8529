#pragma once

// Every number in a preset file is big-endian, and every number of the container hosts save
// presets in, and of a ZIP archive, is little-endian; the program converts only at the point of
// use.

#include <bit>
#include <cstdint>

namespace tunewright {

// Reverses the four bytes of a word; its own inverse.
constexpr uint32_t swapBytes32(uint32_t word) {
  return (word >> 24) | ((word >> 8) & 0x0000FF00u) | ((word << 8) & 0x00FF0000u) | (word << 24);
}

constexpr uint64_t swapBytes64(uint64_t word) {
  return (uint64_t{swapBytes32(static_cast<uint32_t>(word))} << 32) |
         swapBytes32(static_cast<uint32_t>(word >> 32));
}

// Converts a word between host order and big-endian order, in either direction: the bytes of
// the result, as they lie in memory, are the value's bits in big-endian order.
constexpr uint32_t bigEndian32(uint32_t hostValue) {
  return std::endian::native == std::endian::little ? swapBytes32(hostValue) : hostValue;
}

// Converts words between host order and little-endian order, in either direction.
constexpr uint16_t littleEndian16(uint16_t hostValue) {
  return std::endian::native == std::endian::big
             ? static_cast<uint16_t>((hostValue >> 8) | (hostValue << 8))
             : hostValue;
}

constexpr uint32_t littleEndian32(uint32_t hostValue) {
  return std::endian::native == std::endian::big ? swapBytes32(hostValue) : hostValue;
}

constexpr uint64_t littleEndian64(uint64_t hostValue) {
  return std::endian::native == std::endian::big ? swapBytes64(hostValue) : hostValue;
}

// Reinterprets bits only: no value is converted or rounded, NaN payloads included.
constexpr uint32_t floatToBigEndian(float value) {
  return bigEndian32(std::bit_cast<uint32_t>(value));
}

constexpr float floatFromBigEndian(uint32_t word) {
  return std::bit_cast<float>(bigEndian32(word));
}

}  // namespace tunewright
