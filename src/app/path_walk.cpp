// The walk over the paths given: presets to the file job, directories scanned.

#include "app/path_walk.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>

#include "app/console.h"
#include "app/file_job.h"
#include "app/options.h"
#include "app/paths.h"
#include "app/read_ahead.h"
#include "convert/preset_extensions.h"
#include "platform/platform.h"

namespace tunewright {

namespace {

// True for names ending in one of kPresetExtensions (no other spelling counts).
bool hasPresetExtension(const char* path) {
  return std::ranges::any_of(kPresetExtensions, [name = std::string_view(path)](const char* e) {
    return name.ends_with(e);
  });
}

// Whether a scan acts on an entry: a preset it converts, or with -r a directory it enters.
bool isScanned(const platform::DirectoryEntry& entry) {
  const std::string_view name(entry.name);
  return hasPresetExtension(entry.name) ||
         (options.recursive && entry.kind == platform::EntryKind::kDirectory && name != "." &&
          name != "..");
}

// A preset the file job reads as any other file: gathered for the read-ahead.
bool isPlainPreset(const platform::DirectoryEntry& entry) {
  const std::string_view name(entry.name);
  return hasPresetExtension(entry.name) && !isProjectName(name) &&
         (entry.kind == platform::EntryKind::kFile ||
          entry.kind == platform::EntryKind::kUnknown) &&
         name.find('\\') == std::string_view::npos;
}

// Sends the presets gathered to the file job, in the order they were listed, each as soon as
// the read-ahead has read it. Returns false when the run must stop.
bool convertGathered(ReadAhead& ahead, const platform::Directory& directory) {
  if (ahead.count() == 0) {
    return true;
  }
  ahead.start(directory);
  bool goOn = true;
  for (int i = 0; i < ahead.count() && goOn; ++i) {
    platform::clearFailure();
    goOn = processPresetFile(
        {directory, ahead.name(i), ReadAhead::kGathered, ahead.path(i), &ahead, i});
  }
  ahead.finish();
  return goOn;
}

// Sends every preset in the directory, held open (closed: it cannot be read), to the file job
// and, with -r, every subdirectory to itself, depth first; path names it in messages. With a
// read-ahead, the presets listed one after another are read on its thread while the file job
// writes the ones before them; anything else the scan meets waits for them. Returns false when
// the run must stop.
bool scanDirectory(const platform::Directory& directory, const char* path, ReadAhead* ahead) {
  if (options.verbosity >= 1) {
    printLine({"Searching directory: ", path});
  }
  // The directory's search pattern (directory + "\\*") is a path the program builds, held to
  // the same limit as every other.
  char pattern[kMaxPath];
  if (joinPath(kMaxPath, pattern, path, "*") == nullptr) {
    return reportError(2, {"Couldn't make directory path: ", path});
  }
  // no-mutate(drop-call): the listing of a directory that is not open fails alike, with the
  // reason its open left
  if (!directory.isOpen()) {
    // no-mutate(drop-return): as above
    return reportSystemError(1, {"Couldn't read directory: ", path});
  }
  char entryPath[kMaxPath];
  auto visit = [&](const platform::DirectoryEntry& entry) {
    // The path of an entry the scan passes over is never built, so it cannot stop the run.
    if (!isScanned(entry)) {
      return true;
    }
    const bool joined = joinPath(kMaxPath, entryPath, path, entry.name) != nullptr;
    if (ahead != nullptr && joined && isPlainPreset(entry)) {
      ahead->add(entryPath, std::strlen(entryPath) - std::strlen(entry.name));
      return !ahead->full() || convertGathered(*ahead, directory);
    }
    if (ahead != nullptr && !convertGathered(*ahead, directory)) {
      return false;
    }
    if (!joined) {
      return reportError(2, {"Couldn't make file path: ", entry.name});
    }
    // A name is one component wherever it comes from: one holding a backslash, which every path
    // the program builds reads as a separator, is neither split nor reached.
    if (std::string_view(entry.name).find('\\') != std::string_view::npos) {
      return reportError(1, {"Name with a backslash passed over: ", entryPath});
    }
    // The extension decides first, as for a path named on the command line. A link found in a
    // tree leads wherever its maker chose, which nobody named: it is never followed. An entry
    // the listing could not tell is opened only as what it is, never through a link.
    if (hasPresetExtension(entry.name)) {
      if (entry.kind == platform::EntryKind::kLink) {
        return reportError(1, {"Link passed over: ", entryPath});
      }
      const platform::EntryKind kind =
          entry.kind == platform::EntryKind::kUnknown ? platform::EntryKind::kFile : entry.kind;
      platform::clearFailure();
      return processPresetFile({directory, entry.name, kind, entryPath});
    }
    platform::Directory subdirectory;
    platform::clearFailure();
    if (subdirectory.openSubdirectory(directory, entry.name) ==
        platform::DirectoryOpening::kMissing) {
      return true;  // gone, or a link put in its place: not part of the tree
    }
    return scanDirectory(subdirectory, entryPath, ahead);
  };
  const platform::ListOutcome outcome = directory.list(visit);
  // What was gathered before the listing ended, or failed, comes first.
  const int listingFailure = platform::failureCode();
  if (ahead != nullptr && outcome != platform::ListOutcome::kStopped &&
      !convertGathered(*ahead, directory)) {
    return false;
  }
  switch (outcome) {
    case platform::ListOutcome::kFinished:
      return true;
    case platform::ListOutcome::kFailed:
      platform::noteFailure(listingFailure);
      return reportSystemError(1, {"Couldn't read directory: ", path});
    case platform::ListOutcome::kStopped:
      break;
  }
  return false;
}

}  // namespace

bool processPath(const char* path) {
  // The extension decides first, so a directory or missing file named *.fxp goes to the job.
  // A preset named here is reached through the directory it lies in, as one found in a scan.
  platform::clearFailure();
  if (hasPresetExtension(path)) {
    // A folder on the way that cannot be opened is the reason the preset cannot be.
    platform::Directory directory;
    const char* name = directory.openParentOf(path);
    return processPresetFile(
        {directory, name != nullptr ? name : path, platform::EntryKind::kUnknown, path});
  }
  platform::Directory directory;
  if (directory.open(path) == platform::DirectoryOpening::kMissing) {
    return true;
  }
  // Reading ahead changes nothing a run does where it only makes new files. A run that replaces
  // them could replace one the read-ahead has read already, which the plain order would read as
  // replaced (-f), or, on Windows, meet a file held open by the read-ahead under another of its
  // names where it renames over one (-o, whose flush of every replacement dwarfs the reads).
  const std::unique_ptr<ReadAhead> ahead =
      options.force || options.overwrite || !platform::readsAhead() ? nullptr : ReadAhead::launch();
  return scanDirectory(directory, path, ahead.get());
}

}  // namespace tunewright
