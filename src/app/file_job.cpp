// The job for one preset file, program or bank: load, recognise, plan, convert, write.

#include "app/file_job.h"

#include <charconv>
#include <optional>

#include "app/console.h"
#include "app/options.h"
#include "app/paths.h"
#include "app/project_job.h"
#include "convert/preset_extensions.h"
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

class PresetProgress final : public ProgressLines<StepObserver> {
 public:
  using ProgressLines::ProgressLines;
};

// The output's path: the preset's own with -o, else the preset's with the prefix before its
// name, by default the final format's version code, such as "205_". Returns false when it does
// not fit.
bool outputPathFor(const char* path, FormatId finalFormat, char (&outputPath)[kMaxPath]) {
  char defaultPrefix[12];
  const char* prefix = options.prefix;
  if (prefix == nullptr) {
    // no-mutate(constant): a version code has at most six digits
    char* end = std::to_chars(defaultPrefix, defaultPrefix + 10, versionCode(finalFormat)).ptr;
    end[0] = '_';
    end[1] = '\0';
    prefix = defaultPrefix;
  }
  return makeOutputPath(kMaxPath, outputPath, options.overwrite ? nullptr : prefix, path) !=
         nullptr;
}

// What becomes of an upgraded image, from what is at its output path.
enum class Verdict {
  kCreate,
  kReplace,
  kAlreadyThere,  // the output holds these very bytes: nothing to write
  kExists,        // someone's file: replaced only with -f
  kCannotOpen,    // no output can go there
  kNameTooLong,
  kChanged,  // the preset is no longer the file that was read
};

// An output that is there is done if it holds these very bytes, and otherwise someone's file:
// only -o (replacing the preset is what it asks for) or -f replaces it. A link at the output
// path is never followed, but the preset itself may be one: with -o, what it names is replaced,
// and only if it is still the very file that was read.
Verdict decide(platform::OutputState state, platform::Output& output, platform::Pieces pieces,
               const platform::FileIdentity& read) {
  using platform::OutputState;
  const bool inPlace = options.overwrite;
  const bool replace = inPlace || options.force;
  switch (state) {
    case OutputState::kNothing:
      return inPlace ? Verdict::kChanged : Verdict::kCreate;
    case OutputState::kFile:
    case OutputState::kReadOnlyFile:
      if (inPlace && !output.found().sameFile(read)) {
        return Verdict::kChanged;
      }
      if (!inPlace && output.holds(pieces)) {
        return Verdict::kAlreadyThere;
      }
      if (!replace) {
        return Verdict::kExists;
      }
      return state == OutputState::kFile ? Verdict::kReplace : Verdict::kCannotOpen;
    case OutputState::kLink:
      return options.force ? Verdict::kReplace : Verdict::kExists;
    case OutputState::kNameTooLong:
      return Verdict::kNameTooLong;
    case OutputState::kNotAFile:
    case OutputState::kNoDirectory:
    case OutputState::kUnreachable:
      break;
  }
  return Verdict::kCannotOpen;
}

bool upgraded() {
  ++presetTally.upgraded;
  return true;
}

// The verdict's line, where it is an error. Returns the go-on flag.
bool report(Verdict verdict, const char* path, const char* outputPath) {
  switch (verdict) {
    case Verdict::kCreate:
    case Verdict::kReplace:
    case Verdict::kAlreadyThere:
      return upgraded();
    case Verdict::kExists:
      return reportError(2, {"Output file exists: ", outputPath});
    case Verdict::kCannotOpen:
      return reportSystemError(2, {"Failed to open output file: ", outputPath});
    case Verdict::kNameTooLong:
      return reportSystemError(2, {"Couldn't make output path: ", path});
    case Verdict::kChanged:
      break;
  }
  return reportError(2, {"File changed meanwhile, not replaced: ", outputPath});
}

// The platform's outcome of a write, in the program's words. Returns the go-on flag.
bool report(platform::WriteOutcome outcome, const char* path, const char* outputPath) {
  using platform::WriteOutcome;
  switch (outcome) {
    case WriteOutcome::kWritten:
      return upgraded();
    case WriteOutcome::kExists:
      return report(Verdict::kExists, path, outputPath);
    case WriteOutcome::kChanged:
      return report(Verdict::kChanged, path, outputPath);
    case WriteOutcome::kCannotCreate:
      return report(Verdict::kCannotOpen, path, outputPath);
    case WriteOutcome::kNameTooLong:
      return report(Verdict::kNameTooLong, path, outputPath);
    case WriteOutcome::kWriteFailed:
      break;
  }
  return reportSystemError(2, {"Failed to write output file: ", outputPath});
}

}  // namespace

bool writeUpgrade(const PresetFile& preset, const platform::FileIdentity& read,
                  FormatId finalFormat, platform::Pieces pieces) {
  char outputPath[kMaxPath];
  if (!outputPathFor(preset.path, finalFormat, outputPath)) {
    return report(Verdict::kNameTooLong, preset.path, outputPath);
  }
  // The output lies where its preset does, or where the prefix puts it from there.
  platform::Output output;
  const platform::OutputState place =
      output.locate(preset.directory, outputPath + nameOffset(preset.path));
  if (place != platform::OutputState::kNothing) {
    return report(decide(place, output, pieces, read), preset.path, outputPath);
  }
  const bool inPlace = options.overwrite;
  // A new output is simply made, and looked at only if something turns out to be in its way.
  // no-mutate(negation): the look first comes to the same, in more calls, which the benchmark
  // measures
  if (!inPlace && !options.force && options.writeOutput) {
    const platform::WriteOutcome outcome = output.create(pieces, read);
    if (outcome != platform::WriteOutcome::kExists) {
      return report(outcome, preset.path, outputPath);
    }
  }
  // Anything else looks first, and so does a dry run, which meets what a real run would. What
  // appears at the name between the look and the write is looked at once more, so that -f is as
  // content as a plain run with an output that already holds these very bytes.
  // no-mutate(arithmetic): a name that appears again is met the same way a round later
  for (int look = 0;; ++look) {
    const Verdict verdict = decide(output.examine(inPlace), output, pieces, read);
    if (verdict != Verdict::kCreate && verdict != Verdict::kReplace) {
      return report(verdict, preset.path, outputPath);
    }
    if (!options.writeOutput) {
      return report(output.mayMakeFiles() ? verdict : Verdict::kCannotOpen, preset.path,
                    outputPath);
    }
    const platform::WriteOutcome outcome =
        verdict == Verdict::kCreate ? output.create(pieces, read)
                                    : output.replace(pieces, inPlace ? read : output.found(), read);
    // no-mutate(constant): a name that appears again is met the same way a round later
    if (outcome != platform::WriteOutcome::kExists || look > 0) {
      return report(outcome, preset.path, outputPath);
    }
  }
}

PresetTally presetTally;

std::optional<bool> settle(UpgradeOutcome outcome, const char* path) {
  switch (outcome) {
    case UpgradeOutcome::kUpgraded:
      return std::nullopt;
    case UpgradeOutcome::kAlreadyCurrent:
      ++presetTally.current;
      return true;  // quietly: nothing to do
    case UpgradeOutcome::kUnrecognised:
      ++presetTally.unrecognised;
      break;
    default:
      break;
  }
  const OutcomeWords& words = outcomeWords(outcome);
  return reportError(words.severity, {words.message, path});
}

bool processPresetFile(const PresetFile& preset) {
  const char* path = preset.path;
  ++presetTally.met;
  if (options.verbosity >= 2) {
    printLine({"Loading data file: ", path});
  }
  if (isProjectName(path)) {
    return processProject(preset);
  }
  // One byte more than any image is read, so that a bigger file shows itself and is refused.
  platform::FileIdentity read;
  const auto capacity = static_cast<int32_t>(imageBuffer.size());
  int32_t length =
      preset.ahead != nullptr
          ? preset.ahead->take(preset.index, imageBuffer.data(), capacity, read)
          : preset.directory.readFile(preset.name, preset.kind, imageBuffer.data(), capacity, read);
  if (length < 0) {
    return reportSystemError(2, {"Failed to open input file: ", path});
  }
  if (options.verbosity >= 3) {
    dumpBytes(length, imageBuffer.data());
  }

  PresetProgress progress(path);
  const Conversion conversion = recogniseAndUpgrade(length, options.targetFormat, imageBuffer,
                                                    spareBuffer, converterChain, &progress);
  if (const std::optional<bool> settled = settle(conversion.outcome, path)) {
    return *settled;
  }
  if (options.verbosity == 3) {
    dumpBytes(conversion.length, imageBuffer.data());
  }

  const platform::Piece image =
      platform::Piece::ofBytes(imageBuffer.data(), static_cast<uint64_t>(conversion.length));
  return writeUpgrade(preset, read, converterChain.back()->targetId(), {&image, 1});
}

}  // namespace tunewright
