// One whole run: options, then the listing or the presets, and in a window of its own a summary.

#include "app/run.h"

#include <charconv>

#include "app/console.h"
#include "app/file_job.h"
#include "app/options.h"
#include "app/path_walk.h"
#include "convert/chain.h"
#include "platform/platform.h"

namespace tunewright {

namespace {

enum ExitStatus : int {
  kDone = 0,
  kOptionError = 1,
  kPrefixWithOverwrite = 2,
  kStopped = 3,
};

bool isMisplacedOption(const char* argument) {
  return argument[0] == '-' && !platform::pathExists(argument);
}

// The run itself; processing tells whether it came as far as the presets.
int runJobs(int argc, const char* const* argv, bool ownWindow, bool& processing) {
  presetTally = PresetTally{};
  // -t is validated against the converters, so the snapshot comes before the options.
  snapshotConverters();
  const int32_t firstPath = parseOptions(argc, argv);
  if (firstPath == 0) {
    return kOptionError;
  }
  if (options.showVersion) {
    printVersion();
  }
  if (options.showHelp) {
    printUsage();
  }
  if (options.listConverters) {
    printConverterList();
  }
  if (options.showVersion || options.showHelp || options.listConverters) {
    return kDone;
  }
  // A window that closes when the run ends has only this chance to say what happened.
  if (ownWindow && options.verbosity == 0) {
    options.verbosity = 1;
  }
  // When tolerated, overwriting wins over the prefix.
  if (options.prefix != nullptr && options.overwrite &&
      !reportError(3, {"Prefix and overwrite options combined."})) {
    return kPrefixWithOverwrite;
  }
  if (firstPath == argc) {
    processing = true;
    return processPath(".") ? kDone : kStopped;
  }
  // An option after the files would be silently taken as a path: `tunewright x.fxp -n` must not
  // write. Only an existing file or directory may have a name that begins with "-". (The first
  // path never does: the options end there.)
  for (int i = firstPath; i < argc; ++i) {
    if (isMisplacedOption(argv[i]) &&
        !reportError(3, {"Options must come before files: ", argv[i]})) {
      return kOptionError;
    }
  }
  processing = true;
  for (int i = firstPath; i < argc; ++i) {
    if (isMisplacedOption(argv[i])) {
      continue;  // tolerated, and passed over
    }
    if (!processPath(argv[i])) {
      return kStopped;
    }
  }
  return kDone;
}

void printSummary() {
  const PresetTally& tally = presetTally;
  const int32_t counts[] = {tally.upgraded, tally.current, tally.unrecognised,
                            tally.met - tally.upgraded - tally.current - tally.unrecognised};
  char digits[4][12];
  std::string_view texts[4];  // no-mutate(constant): a larger array holds the four the same
  for (int i = 0; i < 4; ++i) {
    const auto end = std::to_chars(digits[i], digits[i] + sizeof digits[i], counts[i]).ptr;
    texts[i] = std::string_view(digits[i], static_cast<std::size_t>(end - digits[i]));
  }
  printLine({"Presets upgraded: ", texts[0], ", already current: ", texts[1],
             ", not recognised: ", texts[2], ", failed: ", texts[3], "."});
}

}  // namespace

int runProgram(int argc, const char* const* argv, const ConsoleWindow& window) {
  const bool ownWindow = window.isOwn();
  bool processing = false;
  const int status = runJobs(argc, argv, ownWindow, processing);
  if (ownWindow) {
    if (processing) {
      printSummary();
    }
    printLine({"Press Enter to close."});
    window.waitForEnter();
  }
  return status;
}

}  // namespace tunewright
