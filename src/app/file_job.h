#pragma once

namespace tunewright {

// Loads one preset, recognises its format, converts it along the planned chain and writes the
// result. Returns false when the run must stop.
bool processPresetFile(const char* path);

}  // namespace tunewright
