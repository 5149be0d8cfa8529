#include "app/run.h"

#include "app/console.h"
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

}  // namespace

int runProgram(int argc, const char* const* argv) {
  // -t is validated against the converters, so the snapshot comes before the options.
  snapshotConverters();
  const int32_t firstPath = parseOptions(argc, argv);
  if (firstPath == 0) {
    return kOptionError;
  }
  if (options.showHelp) {
    printUsage();
  }
  if (options.listConverters) {
    printConverterList();
  }
  if (options.showHelp || options.listConverters) {
    return kDone;
  }
  // When tolerated, overwriting wins over the prefix.
  if (options.prefix != nullptr && options.overwrite &&
      !reportError(3, {"Prefix and overwrite options combined."})) {
    return kPrefixWithOverwrite;
  }
  if (firstPath == argc) {
    return processPath(".") ? kDone : kStopped;
  }
  // An option after the files would be silently taken as a path: `tunewright x.fxp -n` must not
  // write. Only an existing file or directory may have a name that begins with "-".
  for (int i = firstPath + 1; i < argc; ++i) {
    if (isMisplacedOption(argv[i]) &&
        !reportError(3, {"Options must come before files: ", argv[i]})) {
      return kOptionError;
    }
  }
  for (int i = firstPath; i < argc; ++i) {
    if (i > firstPath && isMisplacedOption(argv[i])) {
      continue;  // tolerated, and passed over
    }
    if (!processPath(argv[i])) {
      return kStopped;
    }
  }
  return kDone;
}

}  // namespace tunewright
