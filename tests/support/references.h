#pragma once

// Simple, independent references for the parameter editing and selector remapping routines,
// shared by the unit tests and the fuzz targets. They build results naively (one item at a
// time, exact integer arithmetic) and share no formula with the routines they check.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace tunewright::reference {

// The list after removing the items at removed (old indices) and inserting values at inserted
// (new indices), built one item at a time.
inline std::vector<uint32_t> replaceParameters(const std::vector<uint32_t>& items,
                                               const std::vector<int32_t>& removed,
                                               const std::vector<int32_t>& inserted,
                                               const std::vector<uint32_t>& values) {
  std::vector<uint32_t> result;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!std::binary_search(removed.begin(), removed.end(), static_cast<int32_t>(i))) {
      result.push_back(items[i]);
    }
  }
  for (std::size_t k = 0; k < inserted.size(); ++k) {
    result.insert(result.begin() + inserted[k], values[k]);
  }
  return result;
}

// The old index as the exact truncation of numChoices x value x 0.999000012874603271484375,
// for values in 0..1 and lists of fewer than 2^16 entries, whose exact product fits in 64 bits.
inline int64_t exactOldIndex(int32_t numChoices, float value) {
  int exponent = 0;
  const float fraction = std::frexp(value, &exponent);  // value = fraction x 2^exponent
  const auto significand = static_cast<uint64_t>(std::ldexp(fraction, 24));
  const uint64_t scale = 0xFFBE77;  // the scale x 2^24
  const uint64_t product = static_cast<uint64_t>(numChoices) * significand * scale;
  const int shift = 48 - exponent;  // the exact product is product x 2^-shift
  return shift >= 64 ? 0 : static_cast<int64_t>(product >> shift);
}

// The single-precision number nearest to p / q (both positive), ties to even, by integer
// division.
inline float nearestFloat(uint64_t p, uint64_t q) {
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

// The remapped value of a selector holding value (0..1): the new list is built explicitly,
// naming each entry by its old index (-1 for an inserted one), and the old entry is looked up
// in it, or the nearest survivor below it, or else the first survivor.
inline float remapChoice(int32_t numChoices, float value, const std::vector<int32_t>& removed,
                         const std::vector<int32_t>& inserted) {
  const int64_t old = exactOldIndex(numChoices, value);
  std::vector<int64_t> list;
  for (int64_t entry = 0; entry < numChoices; ++entry) {
    if (std::find(removed.begin(), removed.end(), entry) == removed.end()) {
      list.push_back(entry);
    }
  }
  for (const int32_t at : inserted) {
    list.insert(list.begin() + at, -1);
  }
  int64_t target = -1;
  for (const int64_t entry : list) {
    if (entry >= 0 && entry <= old && entry > target) {
      target = entry;
    }
  }
  if (target < 0) {
    for (const int64_t entry : list) {
      if (entry >= 0) {
        target = entry;
        break;
      }
    }
  }
  const auto found = std::find(list.begin(), list.end(), target);
  // With every old entry removed, the first entry of the new list is taken.
  const auto newIndex = static_cast<uint64_t>(found == list.end() ? 0 : found - list.begin());
  return nearestFloat(2 * newIndex + 1, 2 * static_cast<uint64_t>(list.size()));
}

}  // namespace tunewright::reference
