#pragma once

// A selector parameter stores its choice as a value in 0..1 that scales to an index in its list
// of choices. When a newer plug-in version adds or drops choices, the stored value is moved so
// that the preset still selects the same entry, at the centre of that entry's band.

#include <cstdint>

namespace tunewright {

// The new normalised value for a choice of a numChoices-entry list, once the entries at removed
// (ascending indices in the old list) are gone and entries are inserted at inserted (ascending
// indices in the new list). A removed choice falls to the nearest surviving one below it.
// Leaves the caller's floating-point rounding mode as it was.
long double remapChoice(int32_t numChoices, float value, int32_t removedCount,
                        const int32_t* removed, int32_t insertedCount, const int32_t* inserted);

// remapChoice applied in place to one big-endian parameter word, rounded once to single
// precision.
void remapChoiceParameter(int32_t numChoices, unsigned char* param, int32_t removedCount,
                          const int32_t* removed, int32_t insertedCount, const int32_t* inserted);

}  // namespace tunewright
