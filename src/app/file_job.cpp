#include "app/file_job.h"

#include <array>
#include <charconv>

#include "app/console.h"
#include "app/options.h"
#include "app/paths.h"
#include "convert/chain.h"
#include "platform/platform.h"
#include "preset/preset_image.h"

namespace tunewright {

namespace {

// The one preset image in memory, reused for every file.
std::array<unsigned char, kPresetCapacity> presetBuffer;

// The chain planned for the current file.
ConverterList converterChain;

const Converter* recognise(int32_t length, const unsigned char* data) {
  for (const Converter* converter : sortedConverters) {
    if (converter->accepts(length, data)) {
      return converter;
    }
  }
  return nullptr;
}

// Runs the chain over the image. Returns nullptr on success, else the error text for the path.
const char* applyChain(int32_t& length) {
  for (const Converter* step : converterChain) {
    if (options.verbosity >= 2) {
      printLine({step->sourceName(), " -> ", step->targetName()});
    }
    if (!step->accepts(length, presetBuffer.data())) {
      return "Converter input does not match source format: ";
    }
    const int32_t converted = step->convert(length, kPresetCapacity, presetBuffer.data());
    // A length past the buffer would be a converter fault; refuse it rather than write it.
    if (converted <= 0 || converted > kPresetCapacity) {
      return "Conversion failed: ";
    }
    length = converted;
    if (options.verbosity >= 4) {
      dumpBytes(length, presetBuffer.data());
    }
  }
  return nullptr;
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
  if (!options.writeOutput) {
    return true;
  }
  switch (platform::writeFileSafely(outputPath, presetBuffer.data(), length)) {
    case platform::WriteOutcome::kWritten:
      return true;
    case platform::WriteOutcome::kCannotCreate:
      return reportError(2, {"Failed to open output file: ", outputPath});
    case platform::WriteOutcome::kWriteFailed:
      break;
  }
  return reportError(2, {"Failed to write output file: ", outputPath});
}

}  // namespace

bool processPresetFile(const char* path) {
  if (options.verbosity >= 2) {
    printLine({"Loading data file: ", path});
  }
  int32_t length = platform::readFile(path, presetBuffer.data(), kPresetCapacity);
  if (length < 0) {
    return reportError(2, {"Failed to open input file: ", path});
  }
  if (options.verbosity >= 3) {
    dumpBytes(length, presetBuffer.data());
  }

  const Converter* source = recognise(length, presetBuffer.data());
  if (source == nullptr) {
    return reportError(1, {"Unrecognized source format: ", path});
  }
  converterChain.clear();
  if (!buildChain(source->sourceId(), options.targetFormat, converterChain)) {
    return reportError(1, {"Couldn't make converter chain: ", path});
  }
  if (converterChain.empty()) {
    return true;  // already in the requested format
  }

  if (options.verbosity == 1) {
    printLine({"Converting data file: ", path});
  }
  if (const char* failure = applyChain(length)) {
    return reportError(2, {failure, path});
  }
  if (options.verbosity == 3) {
    dumpBytes(length, presetBuffer.data());
  }

  return writeResult(path, length);
}

}  // namespace tunewright
