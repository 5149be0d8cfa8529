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

// --- Differential test against exact arithmetic.
//
// The reference builds the new list explicitly and finds the old entry in it, and computes the
// old index and the final rounding with exact integers. It shares no formula with the routine.

// The old index as the exact truncation of numChoices x value x scale, for values in 0..1 and
// lists of fewer than 2^16 entries, whose exact product fits in 64 bits.
int64_t exactOldIndex(int32_t numChoices, float value) {
  int exponent = 0;
  const float fraction = std::frexp(value, &exponent);  // value = fraction x 2^exponent
  const auto significand = static_cast<uint64_t>(std::ldexp(fraction, 24));
  const uint64_t scale = 0xFFBE77;  // 0.999000012874603271484375 x 2^24
  const uint64_t product = static_cast<uint64_t>(numChoices) * significand * scale;
  const int shift = 48 - exponent;  // the exact product is product x 2^-shift
  return shift >= 64 ? 0 : static_cast<int64_t>(product >> shift);
}

// The single-precision number nearest to p / q (positive), ties to even, by integer division.
float nearestFloat(uint64_t p, uint64_t q) {
  int exponent = 0;  // p / q x 2^exponent is the value; bring p / q into [1, 2)
  while (p >= 2 * q) {
    q *= 2;
    ++exponent;
  }
  while (p < q) {
    p *= 2;
    --exponent;
  }
  const uint64_t scaled = p << 23;
  uint64_t mantissa = scaled / q;  // 2^23 <= mantissa < 2^24
  const uint64_t remainder = scaled % q;
  if (remainder * 2 > q || (remainder * 2 == q && (mantissa & 1) != 0)) {
    ++mantissa;
  }
  return std::ldexp(static_cast<float>(mantissa), exponent - 23);
}

float referenceRemap(const ListChange& change, float value) {
  const int64_t old = exactOldIndex(change.numChoices, value);
  // The new list, naming each entry by its old index, or -1 for an inserted one.
  std::vector<int64_t> list;
  for (int64_t entry = 0; entry < change.numChoices; ++entry) {
    if (std::find(change.removed.begin(), change.removed.end(), entry) == change.removed.end()) {
      list.push_back(entry);
    }
  }
  for (const int32_t at : change.inserted) {
    list.insert(list.begin() + at, -1);
  }
  // The old entry, or the nearest surviving one below it, or else the first survivor.
  int64_t target = -1;
  for (const int64_t entry : list) {
    if (entry >= 0 && entry <= old && entry > target) {
      target = entry;
    }
  }
  if (target < 0) {
    target = *std::min_element(list.begin(), list.end(), [](int64_t a, int64_t b) {
      return (a < 0 ? INT64_MAX : a) < (b < 0 ? INT64_MAX : b);
    });
  }
  const auto newIndex =
      static_cast<uint64_t>(std::find(list.begin(), list.end(), target) - list.begin());
  return nearestFloat(2 * newIndex + 1, 2 * static_cast<uint64_t>(list.size()));
}

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
      ASSERT_EQ(remapBits(shape, bitsOf(value)), bitsOf(referenceRemap(shape, value)))
          << "value " << value << " with " << shape.numChoices << " choices";
    }
  }
}

}  // namespace
}  // namespace tunewright
