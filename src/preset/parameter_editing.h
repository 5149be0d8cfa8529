#pragma once

// In-place edits of a parameter list: params holds count raw 4-byte words back to back. The
// routines never decode a word, allocate nothing and report no errors; the caller adjusts the
// header counts and makes sure the buffer has room for the larger of the two counts.

#include <cstddef>
#include <cstdint>

#include "preset/preset_image.h"

namespace tunewright {

// Inserts n words so that values[k] ends up at positions[k], which are strictly ascending
// indices in the list after the insertion. values must not overlap params. Returns count + n.
int32_t insertParameters(int32_t count, unsigned char* params, int32_t n, const int32_t* positions,
                         const uint32_t* values);

// Removes the words at positions, strictly ascending indices in the list before the removal.
// Words past the new end keep whatever the moves left there. Returns count - n.
int32_t removeParameters(int32_t count, unsigned char* params, int32_t n, const int32_t* positions);

// removeParameters, then insertParameters on its result. Moves a parameter when values holds a
// word copied out of the list beforehand.
int32_t replaceParameters(int32_t count, unsigned char* params, int32_t removedCount,
                          const int32_t* removed, int32_t insertedCount, const int32_t* inserted,
                          const uint32_t* values);

// Grows an image of count parameters by inserting N new ones (positions and values as for
// insertParameters) and raising its header counts to match. Returns the new length, or -1 with
// the image untouched when it would not fit in capacity bytes.
template <std::size_t N>
int32_t insertIntoImage(unsigned char* data, int32_t capacity, int32_t count,
                        const int32_t (&positions)[N], const uint32_t (&values)[N]) {
  constexpr auto kAdded = static_cast<int32_t>(N);
  const int32_t newLength = presetLength(count + kAdded);
  if (capacity < newLength) {
    return -1;
  }
  raiseParameterCounts(data, kAdded);
  insertParameters(count, data + kParamsOffset, kAdded, positions, values);
  return newLength;
}

}  // namespace tunewright
