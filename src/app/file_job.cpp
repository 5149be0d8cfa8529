// The job for one preset file, program or bank: load, recognise, plan, convert, write.

#include "app/file_job.h"

#include <charconv>
#include <cstring>

#include "app/console.h"
#include "app/options.h"
#include "app/paths.h"
#include "convert/upgrade.h"
#include "platform/platform.h"

namespace tunewright {

namespace {

// The image of the current file, and the work space its conversion steps take turns with. Both
// are reused for every file; only the pages a file needs are ever touched.
ImageBuffer imageBuffer;
ImageBuffer spareBuffer;

// The chain planned for the current file.
ConverterList converterChain;

// Prints the file about to be converted at -v, each step at -vv and the image after it at -vvvv.
class ProgressLines final : public StepObserver {
 public:
  explicit ProgressLines(const char* path) : path_(path) {}

  void chainStarting() override {
    if (options.verbosity == 1) {
      printLine({"Converting data file: ", path_});
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

 private:
  const char* path_;
};

// Whether the file at path already holds exactly these bytes. Reads into the spare buffer, which
// the finished conversion no longer needs; existed tells whether there was a file to read.
bool holdsSameBytes(const char* path, const unsigned char* data, int32_t length, bool& existed) {
  const int32_t found = platform::readFile(path, spareBuffer.data(), length + 1);
  existed = found >= 0;
  return found == length &&
         std::memcmp(spareBuffer.data(), data, static_cast<std::size_t>(length)) == 0;
}

// Names the output of the converted image and writes it. Returns the go-on flag.
bool writeResult(const char* path, int32_t length) {
  // The default prefix is the final format's version code, such as "205_".
  char defaultPrefix[12];
  const char* prefix = options.prefix;
  if (prefix == nullptr) {
    const FormatId finalFormat = converterChain.back()->targetId();
    char* end = std::to_chars(defaultPrefix, defaultPrefix + 10, finalFormat % 1000000).ptr;
    end[0] = '_';
    end[1] = '\0';
    prefix = defaultPrefix;
  }
  char outputPath[kMaxPath];
  if (makeOutputPath(kMaxPath, outputPath, prefix, path) == nullptr) {
    return reportError(2, {"Couldn't make output path: ", path});
  }
  // An output that is already there is done if it holds these very bytes, and otherwise someone's
  // file: only -o (replacing the input is what it asks for) or -f replaces it. A dry run checks
  // the same, to show what a real run would meet. A new output is simply made, and looked at
  // only if something turns out to be in its way.
  const bool replace = options.overwrite || options.force;
  bool existed = false;
  if (replace || !options.writeOutput) {
    if (holdsSameBytes(outputPath, imageBuffer.data(), length, existed)) {
      ++presetTally.upgraded;
      return true;
    }
    if (existed && !replace) {
      return reportError(2, {"Output file exists: ", outputPath});
    }
    if (!options.writeOutput) {
      ++presetTally.upgraded;
      return true;
    }
  }
  const platform::WriteMode mode =
      replace ? platform::WriteMode::kReplace : platform::WriteMode::kCreate;
  switch (platform::writeFileSafely(outputPath, imageBuffer.data(), length, mode)) {
    case platform::WriteOutcome::kWritten:
      ++presetTally.upgraded;
      return true;
    case platform::WriteOutcome::kExists:
      if (holdsSameBytes(outputPath, imageBuffer.data(), length, existed)) {
        ++presetTally.upgraded;
        return true;
      }
      return reportError(2, {"Output file exists: ", outputPath});
    case platform::WriteOutcome::kCannotCreate:
      return reportError(2, {"Failed to open output file: ", outputPath});
    case platform::WriteOutcome::kWriteFailed:
      break;
  }
  return reportError(2, {"Failed to write output file: ", outputPath});
}

}  // namespace

PresetTally presetTally;

bool processPresetFile(const char* path) {
  ++presetTally.met;
  if (options.verbosity >= 2) {
    printLine({"Loading data file: ", path});
  }
  // One byte more than any image is read, so that a bigger file shows itself and is refused.
  int32_t length =
      platform::readFile(path, imageBuffer.data(), static_cast<int32_t>(imageBuffer.size()));
  if (length < 0) {
    return reportError(2, {"Failed to open input file: ", path});
  }
  if (options.verbosity >= 3) {
    dumpBytes(length, imageBuffer.data());
  }

  ProgressLines progress(path);
  const Conversion conversion = convertImage(length, options.targetFormat, imageBuffer, spareBuffer,
                                             converterChain, &progress);
  switch (conversion.outcome) {
    case UpgradeOutcome::kUpgraded:
      break;
    case UpgradeOutcome::kAlreadyCurrent:
      ++presetTally.current;
      return true;  // quietly: nothing to do
    case UpgradeOutcome::kUnrecognised:
      ++presetTally.unrecognised;
      [[fallthrough]];
    default: {
      const OutcomeWords& words = outcomeWords(conversion.outcome);
      return reportError(words.severity, {words.message, path});
    }
  }
  if (options.verbosity == 3) {
    dumpBytes(conversion.length, imageBuffer.data());
  }

  return writeResult(path, conversion.length);
}

}  // namespace tunewright
