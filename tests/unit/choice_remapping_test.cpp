// Selector remapping against an independent reference, band edges included.

#include "preset/choice_remapping.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfenv>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "preset/byte_order.h"
#include "preset/preset_image.h"
#include "references.h"

namespace tunewright {
namespace {

struct ListChange {
  int32_t numChoices;
  std::vector<int32_t> removed;
  std::vector<int32_t> inserted;

  int32_t newCount() const {
    return numChoices - static_cast<int32_t>(removed.size()) +
           static_cast<int32_t>(inserted.size());
  }
};

// remapChoiceParameter on a big-endian word holding the bits; returns the new bits.
uint32_t remapBits(const ListChange& change, uint32_t bits) {
  unsigned char word[4];
  storeWord(word, bigEndian32(bits));
  remapChoiceParameter(change.numChoices, word, static_cast<int32_t>(change.removed.size()),
                       change.removed.data(), static_cast<int32_t>(change.inserted.size()),
                       change.inserted.data());
  return bigEndian32(loadWord(word));
}

uint32_t bitsOf(float value) {
  return std::bit_cast<uint32_t>(value);
}

struct TableRow {
  ListChange change;
  uint32_t stored;
  uint32_t expected;
};

class RemapChoiceParameter : public ::testing::TestWithParam<TableRow> {};

TEST_P(RemapChoiceParameter, MatchesTheWorkedTable) {
  const TableRow& row = GetParam();
  EXPECT_EQ(remapBits(row.change, row.stored), row.expected) << std::hex << "stored " << row.stored;
}

const ListChange kInsert6At5{6, {}, {5}};
const ListChange kInsert5At4{5, {}, {4}};
const ListChange kInsert7At3{7, {}, {3}};
const ListChange kInsert7At6{7, {}, {6}};
const ListChange kRemove2Of6{6, {2}, {}};
const ListChange kRemove0Of6{6, {0}, {}};

INSTANTIATE_TEST_SUITE_P(
    Table, RemapChoiceParameter,
    ::testing::Values(TableRow{kInsert6At5, 0x00000000, 0x3D924925},
                      TableRow{kInsert6At5, 0x3DAAAAAB, 0x3D924925},
                      TableRow{kInsert6At5, 0x3F000000, 0x3EB6DB6E},
                      TableRow{kInsert6At5, 0x3F555555, 0x3F249249},
                      TableRow{kInsert6At5, 0x3F7FBE77, 0x3F6DB6DB},
                      TableRow{kInsert6At5, 0x3F800000, 0x3F6DB6DB},
                      TableRow{kInsert5At4, 0x3F4CCCCD, 0x3F155555},
                      TableRow{kInsert5At4, 0x3F800000, 0x3F6AAAAB},
                      TableRow{kInsert7At3, 0x00000000, 0x3D800000},
                      TableRow{kInsert7At3, 0x3E5B6DB7, 0x3E400000},
                      TableRow{kInsert7At3, 0x3F000000, 0x3F100000},
                      TableRow{kInsert7At3, 0x3F249249, 0x3F300000},
                      TableRow{kInsert7At3, 0x3F800000, 0x3F700000},
                      TableRow{kInsert7At6, 0x3F492492, 0x3F300000},
                      TableRow{kInsert7At6, 0x3F6DB6DB, 0x3F700000},
                      TableRow{kInsert7At6, 0x3F800000, 0x3F700000},
                      TableRow{kRemove2Of6, 0x3E800000, 0x3E99999A},
                      TableRow{kRemove2Of6, 0x3F000000, 0x3E99999A},
                      TableRow{kRemove2Of6, 0x3F800000, 0x3F666666},
                      TableRow{kRemove0Of6, 0x00000000, 0x3DCCCCCD},
                      TableRow{kRemove0Of6, 0x3E800000, 0x3DCCCCCD},
                      TableRow{ListChange{6, {2, 3}, {}}, 0x3F19999A, 0x3EC00000},
                      TableRow{ListChange{6, {2, 3}, {}}, 0x3F400000, 0x3F200000},
                      TableRow{ListChange{6, {0, 1}, {0}}, 0x00000000, 0x3E99999A},
                      TableRow{ListChange{6, {}, {}}, 0x3DCCCCCD, 0x3DAAAAAB},
                      // Values outside 0..1 go through the same arithmetic.
                      TableRow{kInsert6At5, bitsOf(1.5f), bitsOf(1.35714281f)},
                      TableRow{kInsert6At5, bitsOf(2.0f), bitsOf(1.78571427f)},
                      TableRow{kInsert6At5, bitsOf(-0.1f), 0x3D924925},
                      TableRow{kInsert6At5, bitsOf(-0.3f), 0x3D924925},
                      TableRow{kInsert6At5, bitsOf(-0.4f), bitsOf(-0.214285716f)},
                      TableRow{kInsert6At5, bitsOf(-1.0f), bitsOf(-0.642857134f)}));

TEST(RemapChoice, OldIndexTruncatesTheUnroundedProduct) {
  // 6 x 0.83416748046875 x 0.999000012... = 4.99999994...: entry 4, though a product rounded
  // to single precision would be 5.0.
  EXPECT_EQ(remapBits({6, {}, {}}, bitsOf(0.83416748046875f)), bitsOf(4.5f / 6.0f));
  // k / numChoices lies in band k - 1, because of the scale.
  EXPECT_EQ(remapBits({6, {}, {}}, bitsOf(1.0f / 6.0f)), bitsOf(0.5f / 6.0f));
  EXPECT_EQ(remapBits({6, {}, {}}, bitsOf(1.0f / 3.0f)), bitsOf(1.5f / 6.0f));
}

TEST(RemapChoice, ProductsBeyondThe32BitRangeGiveTheInvalidIndex) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  const long double invalid = (-2147483648.0L + 0.5L) / 7.0L;
  const int32_t inserted[] = {5};
  for (const float value : {nan, inf, -inf, 1e30f, -1e30f, 4e8f}) {
    EXPECT_EQ(remapChoice(6, value, 0, nullptr, 1, inserted), invalid) << value;
  }
}

TEST(RemapChoice, IndicesNearTheLimitDoNotOverflow) {
  // 1699121900 x 1.265143632888794 x scale = 2147483647.709...: the largest 32-bit index, which
  // an insertion below it moves one past.
  const int32_t inserted[] = {0};
  EXPECT_EQ(remapChoice(1699121900, 1.265143632888794f, 0, nullptr, 1, inserted),
            (2147483648.0L + 0.5L) / 1699121901.0L);
}

TEST(RemapChoice, LeavesTheCallersRoundingModeAndIgnoresIt) {
  const uint32_t expected = remapBits(kInsert6At5, 0x3F555555);
  for (const int mode : {FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO, FE_TONEAREST}) {
    ASSERT_EQ(std::fesetround(mode), 0);
    const uint32_t got = remapBits(kInsert6At5, 0x3F555555);
    const int after = std::fegetround();
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(after, mode);
    EXPECT_EQ(got, expected) << "mode " << mode;
  }
}

// Checked against exact arithmetic over random values and the values around every band
// boundary, for every list shape the converters use and a few more.
TEST(RemapChoice, AgreesWithExactArithmeticOnEveryListShapeInUse) {
  const ListChange shapes[] = {kInsert6At5,     kInsert5At4,      kInsert7At3,
                               kInsert7At6,     kRemove2Of6,      kRemove0Of6,
                               {6, {2, 3}, {}}, {6, {0, 1}, {0}}, {8, {}, {}}};
  std::mt19937 random(7);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  for (const ListChange& shape : shapes) {
    std::vector<float> values = {0.0f, 1.0f, 0.83416748046875f};
    // Values at and around every band boundary k / (numChoices x scale).
    for (int k = 1; k <= shape.numChoices; ++k) {
      float boundary = static_cast<float>(k / (shape.numChoices * 0.999000012874603271484375));
      for (int step = 0; step < 3; ++step) {
        boundary = std::nextafter(boundary, 0.0f);
      }
      for (int step = 0; step < 7; ++step, boundary = std::nextafter(boundary, 2.0f)) {
        if (boundary <= 1.0f) {
          values.push_back(boundary);
        }
      }
    }
    for (int i = 0; i < 20000; ++i) {
      values.push_back(unit(random));
    }
    for (const float value : values) {
      ASSERT_EQ(
          remapBits(shape, bitsOf(value)),
          bitsOf(reference::remapChoice(shape.numChoices, value, shape.removed, shape.inserted)))
          << "value " << value << " with " << shape.numChoices << " choices";
    }
  }
}

}  // namespace
}  // namespace tunewright
