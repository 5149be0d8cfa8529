#pragma once

// The job for one preset file: load, recognise, convert, write.

#include <cstdint>

#include "convert/converter.h"
#include "platform/platform.h"

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

// A preset as the walk met it: the directory it lies in, held open, its name there, what the
// listing said it is, and its path, for messages and for naming the output.
struct PresetFile {
  const platform::Directory& directory;
  const char* name;
  platform::EntryKind kind;
  const char* path;
};

// Loads one preset, recognises its format, converts it along the planned chain and writes the
// result beside it; a project goes to processProject. Returns false when the run must stop.
bool processPresetFile(const PresetFile& preset);

// Names the output of an upgraded preset or project whose last step reached finalFormat, and
// writes it from the pieces, through every check of a safe write; read is the input as it was
// opened. Counts and reports what became of it, and returns the go-on flag.
bool writeUpgrade(const PresetFile& preset, const platform::FileIdentity& read,
                  FormatId finalFormat, platform::Pieces pieces);

}  // namespace tunewright
