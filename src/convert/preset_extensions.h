#pragma once

// The endings of the names taken as presets: the one list, which the walk, the page and the build
// (CMakeLists.txt reads it for the installer's file types and the demo) all take.

#include <algorithm>
#include <array>
#include <span>
#include <string_view>

namespace tunewright {

// Each spelling that counts; every other name is passed over. What a preset file is (a program,
// a bank, a host's container), its content decides; a name of the last two is a project's.
inline constexpr auto kPresetExtensions = std::to_array<const char*>(
    {".fxp", ".FXP", ".fxb", ".FXB", ".vstpreset", ".VSTPRESET", ".dawproject", ".DAWPROJECT"});

// The endings of the names taken as projects (.dawproject), whose content is an archive.
inline constexpr std::span<const char* const, 2> kProjectExtensions =
    std::span(kPresetExtensions).last<2>();

// Whether a name (or a path) is a project's. (The page's C++ library has no std::ranges::any_of.)
constexpr bool isProjectName(std::string_view name) {
  return std::any_of(kProjectExtensions.begin(), kProjectExtensions.end(),
                     [name](const char* ending) { return name.ends_with(ending); });
}

}  // namespace tunewright
