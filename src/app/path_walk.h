#pragma once

// The walk over the paths given on the command line and the directories found.

#include <string_view>

#include "platform/platform.h"

namespace tunewright {

// Sends a preset name to the file job and a directory to scanDirectory; passes over anything
// else. Returns false when the run must stop.
bool processPath(const char* path);

// Sends every preset in the directory, held open (closed: it cannot be read), to the file job
// and, with -r, every subdirectory to itself, depth first; path names it in messages. Returns
// false when the run must stop.
bool scanDirectory(const platform::Directory& directory, const char* path);

// True for names ending in ".fxp", ".FXP", ".fxb" or ".FXB" (no other spelling counts).
bool hasPresetExtension(const char* path);

bool endsWith(std::string_view text, std::string_view suffix);

}  // namespace tunewright
