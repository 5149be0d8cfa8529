#include "app/run.h"

#include "app/console.h"
#include "app/options.h"
#include "app/path_walk.h"
#include "convert/chain.h"

namespace tunewright {

namespace {

enum ExitStatus : int {
  kDone = 0,
  kOptionError = 1,
  kPrefixWithOverwrite = 2,
  kStopped = 3,
};

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
  for (int i = firstPath; i < argc; ++i) {
    if (!processPath(argv[i])) {
      return kStopped;
    }
  }
  return kDone;
}

}  // namespace tunewright
