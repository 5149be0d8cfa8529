#pragma once

// The endings of the names taken as presets: the one list, which the walk, the page and the build
// (CMakeLists.txt reads it for the installer's file types and the demo) all take.

#include <array>

namespace tunewright {

// Each spelling that counts; every other name is passed over. What a file is, its content decides.
inline constexpr auto kPresetExtensions =
    std::to_array<const char*>({".fxp", ".FXP", ".fxb", ".FXB", ".vstpreset", ".VSTPRESET"});

}  // namespace tunewright
