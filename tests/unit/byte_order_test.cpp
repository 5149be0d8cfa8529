// Byte order: swaps and big-endian float words, bit for bit.

#include "preset/byte_order.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "preset/preset_image.h"

namespace tunewright {
namespace {

std::array<unsigned char, 4> memoryBytes(uint32_t word) {
  std::array<unsigned char, 4> bytes;
  std::memcpy(bytes.data(), &word, 4);
  return bytes;
}

uint32_t wordFromBytes(std::array<unsigned char, 4> bytes) {
  uint32_t word;
  std::memcpy(&word, bytes.data(), 4);
  return word;
}

TEST(SwapBytes32, ReversesTheBytesAndUndoesItself) {
  EXPECT_EQ(swapBytes32(0x11223344u), 0x44332211u);
  EXPECT_EQ(memoryBytes(swapBytes32(wordFromBytes({0x11, 0x22, 0x33, 0x44}))),
            (std::array<unsigned char, 4>{0x44, 0x33, 0x22, 0x11}));
  for (const uint32_t word : {0u, 1u, 0x80000000u, 0xDEADBEEFu, 0xFFFFFFFFu}) {
    EXPECT_EQ(swapBytes32(swapBytes32(word)), word);
  }
}

TEST(FloatWords, LieInMemoryInBigEndianOrder) {
  EXPECT_EQ(memoryBytes(floatToBigEndian(1.0f)), (std::array<unsigned char, 4>{0x3F, 0x80, 0, 0}));
  EXPECT_EQ(memoryBytes(floatToBigEndian(2.0f)), (std::array<unsigned char, 4>{0x40, 0, 0, 0}));
  EXPECT_EQ(floatFromBigEndian(wordFromBytes({0x3F, 0x80, 0, 0})), 1.0f);
  EXPECT_EQ(floatFromBigEndian(wordFromBytes({0x3E, 0x92, 0x49, 0x25})), 0.2857142984867096f);
}

TEST(FloatWords, EveryClassOfValueRoundTripsBitForBit) {
  using Limits = std::numeric_limits<float>;
  const float values[] = {0.0f,
                          -0.0f,
                          Limits::denorm_min(),
                          -Limits::denorm_min(),
                          std::bit_cast<float>(0x007FFFFFu),  // largest subnormal
                          Limits::min(),
                          Limits::max(),
                          -Limits::max(),
                          Limits::infinity(),
                          -Limits::infinity(),
                          1.5f,
                          -7.25f,
                          1e30f};
  for (const float value : values) {
    EXPECT_EQ(std::bit_cast<uint32_t>(floatFromBigEndian(floatToBigEndian(value))),
              std::bit_cast<uint32_t>(value))
        << value;
  }
  // NaNs keep their payloads and their quiet or signalling bit: nothing converts a value.
  for (const uint32_t bits : {0x7FC00000u, 0x7FC00001u, 0xFFFFFFFFu, 0x7F800001u, 0xFFA5A5A5u}) {
    const uint32_t word = swapBytes32(bits);
    EXPECT_EQ(floatToBigEndian(floatFromBigEndian(word)), word) << std::hex << bits;
    EXPECT_EQ(std::bit_cast<uint32_t>(floatFromBigEndian(word)), bits) << std::hex << bits;
  }
}

TEST(LittleEndianFields, LieInMemoryLowByteFirst) {
  const unsigned char bytes[] = {0xAA, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x88};
  EXPECT_EQ(loadLittleEndian32(bytes, 1), 0x04030201u);
  EXPECT_EQ(loadLittleEndian64(bytes, 1), 0x8807060504030201u);
  unsigned char stored[10] = {};
  storeLittleEndian64(stored, 1, 0x8807060504030201u);
  EXPECT_EQ(std::memcmp(stored + 1, bytes + 1, 8), 0);
  EXPECT_EQ(stored[0] | stored[9], 0);
  EXPECT_EQ(swapBytes64(0x0102030405060788u), 0x8807060504030201u);  // a big-endian host's way
}

TEST(HeaderCounts, AreComparedAsStoredAndRaisedRelativeToTheirValue) {
  unsigned char image[64] = {};
  const unsigned char byteSize[] = {0x00, 0x00, 0x00, 0xF8};
  const unsigned char numParams[] = {0x00, 0x00, 0x00, 0x32};
  std::memcpy(image + kByteSizeOffset, byteSize, 4);
  std::memcpy(image + kNumParamsOffset, numParams, 4);
  EXPECT_TRUE(headerCountIs(image, kByteSizeOffset, 248));
  EXPECT_TRUE(headerCountIs(image, kNumParamsOffset, 50));
  EXPECT_FALSE(headerCountIs(image, kNumParamsOffset, 0x32000000));

  raiseParameterCounts(image, 3);
  const unsigned char raisedSize[] = {0x00, 0x00, 0x01, 0x04};
  const unsigned char raisedCount[] = {0x00, 0x00, 0x00, 0x35};
  EXPECT_EQ(std::memcmp(image + kByteSizeOffset, raisedSize, 4), 0);
  EXPECT_EQ(std::memcmp(image + kNumParamsOffset, raisedCount, 4), 0);

  const unsigned char littleEndian[] = {0x48, 0x00, 0x00, 0x00};
  std::memcpy(image + kByteSizeOffset, littleEndian, 4);
  EXPECT_FALSE(headerCountIs(image, kByteSizeOffset, 72));
}

}  // namespace
}  // namespace tunewright
