#pragma once

// The walk over the paths given on the command line and the directories found.

#include <string_view>

namespace tunewright {

// Sends a preset name to the file job and a directory to scanDirectory; passes over anything
// else. Returns false when the run must stop.
bool processPath(const char* path);

// Sends every preset in the directory to the file job and, with -r, every subdirectory to
// itself, depth first. Returns false when the run must stop.
bool scanDirectory(const char* directory);

// True for names ending in one of kPresetExtensions (no other spelling counts).
bool hasPresetExtension(const char* path);

bool endsWith(std::string_view text, std::string_view suffix);

}  // namespace tunewright
