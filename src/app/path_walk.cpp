// The walk over the paths given: presets to the file job, directories scanned.

#include "app/path_walk.h"

#include <algorithm>

#include "app/console.h"
#include "app/file_job.h"
#include "app/options.h"
#include "app/paths.h"
#include "convert/upgrade.h"
#include "platform/platform.h"

namespace tunewright {

bool endsWith(std::string_view text, std::string_view suffix) {
  return text.ends_with(suffix);
}

bool hasPresetExtension(const char* path) {
  return std::ranges::any_of(kPresetExtensions,
                             [path](const char* e) { return endsWith(path, e); });
}

bool processPath(const char* path) {
  // The extension decides first, so a directory or missing file named *.fxp goes to the job.
  if (hasPresetExtension(path)) {
    return processPresetFile(path);
  }
  if (platform::isDirectory(path)) {
    return scanDirectory(path);
  }
  return true;
}

bool scanDirectory(const char* directory) {
  if (options.verbosity >= 1) {
    printLine({"Searching directory: ", directory});
  }
  // The directory's search pattern (directory + "\\*") is a path the program builds, held to
  // the same limit as every other.
  char pattern[kMaxPath];
  if (joinPath(kMaxPath, pattern, directory, "*") == nullptr) {
    return reportError(2, {"Couldn't make directory path: ", directory});
  }
  char entryPath[kMaxPath];
  auto visit = [&](const platform::DirectoryEntry& entry) {
    if (joinPath(kMaxPath, entryPath, directory, entry.name) == nullptr) {
      return reportError(2, {"Couldn't make file path: ", entry.name});
    }
    if (hasPresetExtension(entryPath)) {
      return processPresetFile(entryPath);
    }
    const std::string_view name(entry.name);
    if (options.recursive && entry.isDirectory && name != "." && name != "..") {
      return scanDirectory(entryPath);
    }
    return true;
  };
  switch (platform::listDirectory(directory, visit)) {
    case platform::ListOutcome::kNothingListed:
      if (options.verbosity >= 1) {
        printLine({"No files found."});
      }
      return true;
    case platform::ListOutcome::kFinished:
      return true;
    case platform::ListOutcome::kStopped:
      break;
  }
  return false;
}

}  // namespace tunewright
