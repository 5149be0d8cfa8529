#pragma once

// The job for one project file (.dawproject): read by ranges, its devices upgraded, written in
// pieces of the original and new bytes.

#include "app/file_job.h"

namespace tunewright {

// Upgrades the project's devices and writes the result as a preset's is written. Returns false
// when the run must stop.
bool processProject(const PresetFile& project);

}  // namespace tunewright
