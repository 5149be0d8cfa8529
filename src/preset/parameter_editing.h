#pragma once

// In-place edits of a parameter list: params holds count raw 4-byte words back to back. The
// routines never decode a word, allocate nothing and report no errors; the caller adjusts the
// header counts and makes sure the buffer has room for the larger of the two counts.

#include <cstdint>

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

}  // namespace tunewright
