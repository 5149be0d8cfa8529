#pragma once

#include <cstdint>

namespace tunewright {

// Size of the one image buffer: the most of a file that is ever read, and the capacity every
// conversion is given.
inline constexpr int32_t kPresetCapacity = 2048;

}  // namespace tunewright
