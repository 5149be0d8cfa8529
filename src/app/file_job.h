#pragma once

// The job for one preset file: load, recognise, convert, write.

#include <cstdint>

namespace tunewright {

// The presets the file job has met, by what became of them, for the closing summary of a run.
// Met but none of the others means failed.
struct PresetTally {
  int32_t met = 0;
  int32_t upgraded = 0;  // written, or left as they were holding the very bytes (-n: would be)
  int32_t current = 0;   // already in the requested format
  int32_t unrecognised = 0;
};

extern PresetTally presetTally;

// Loads one preset, recognises its format, converts it along the planned chain and writes the
// result. Returns false when the run must stop.
bool processPresetFile(const char* path);

}  // namespace tunewright
