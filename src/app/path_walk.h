#pragma once

// The walk over the paths given on the command line and the directories found.

namespace tunewright {

// Sends a preset name to the file job and a directory, held open, to a scan that sends every
// preset in it to the file job and, with -r, every subdirectory to itself, depth first; passes
// over anything else. Returns false when the run must stop.
bool processPath(const char* path);

}  // namespace tunewright
