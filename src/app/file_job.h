#pragma once

// The job for one preset file: load, recognise, convert, write.

#include <cstdint>
#include <optional>

#include "app/console.h"
#include "app/options.h"
#include "app/read_ahead.h"
#include "convert/converter.h"
#include "convert/upgrade.h"
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
// A preset the scan gathered is read by the read-ahead, as the entry at index.
struct PresetFile {
  const platform::Directory& directory;
  const char* name;
  platform::EntryKind kind;
  const char* path;
  ReadAhead* ahead = nullptr;
  int index = 0;
};

// Prints the file about to be converted at -v (once, however many chains run for it), each step
// at -vv and the image after it at -vvvv; Observer is what the upgrade tells.
template <typename Observer>
class ProgressLines : public Observer {
 public:
  explicit ProgressLines(const char* path) : path_(path) {}
  ProgressLines(const ProgressLines&) = delete;
  ProgressLines& operator=(const ProgressLines&) = delete;

  void chainStarting() override {
    if (options.verbosity == 1 && !announced_) {
      printLine({"Converting data file: ", path_});
      announced_ = true;
    }
  }
  void stepStarting(const Converter& step) override {
    if (options.verbosity >= 2) {
      printLine({step.sourceName(), " -> ", step.targetName()});
    }
  }
  void stepFinished(int32_t length, const unsigned char* image) override {
    if (options.verbosity >= 4) {
      dumpBytes(length, image);
    }
  }

 protected:
  ~ProgressLines() = default;

 private:
  const char* path_;
  bool announced_ = false;
};

// Loads one preset, recognises its format, converts it along the planned chain and writes the
// result beside it; a project goes to processProject. Returns false when the run must stop.
bool processPresetFile(const PresetFile& preset);

// What became of a preset or project that was not upgraded, counted and, unless it was already
// current, reported: the go-on flag. Nothing (to go on to its output) when it was upgraded.
std::optional<bool> settle(UpgradeOutcome outcome, const char* path);

// Names the output of an upgraded preset or project whose last step reached finalFormat, and
// writes it from the pieces, through every check of a safe write; read is the input as it was
// opened. Counts and reports what became of it, and returns the go-on flag.
bool writeUpgrade(const PresetFile& preset, const platform::FileIdentity& read,
                  FormatId finalFormat, platform::Pieces pieces);

}  // namespace tunewright
