// The page's way into the conversion core: the exports of the WebAssembly module, and nothing else.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>

#include "convert/chain.h"
#include "convert/converter.h"
#include "convert/map_text.h"
#include "convert/preset_extensions.h"
#include "convert/upgrade.h"

#define TUNEWRIGHT_EXPORT(name) extern "C" __attribute__((export_name(name)))

namespace tunewright {

namespace {

// The page writes one file into image, up to kImageCapacity + 1 bytes, and reads the
// conversion's result back from it.
ImageBuffer image;
ImageBuffer spare;

// The chain of the last conversion, and what it made.
ConverterList chain;
Conversion last;

// The formats the page offers as targets: every format some converter produces, in the
// sorted converters' order.
ConverterList targets;

// The text of the last parameterMaps call.
std::string mapText;

// The names the page knows the outcomes by, in UpgradeOutcome's order.
constexpr const char* kOutcomeNames[] = {
    "upgraded",         "alreadyCurrent", "unrecognised",   "noChain",
    "inputMismatch",    "failed",         "archiveDamaged", "archiveUnsupported",
    "projectMalformed", "stateMissing",   "stateMismatch",  "parameterNotCarried"};
static_assert(std::size(kOutcomeNames) == kUpgradeOutcomeCount);

const Converter* converterAt(int32_t index) {
  return sortedConverters.at(static_cast<std::size_t>(index));
}

UpgradeOutcome outcomeAt(int32_t index) {
  if (index < 0 || index >= kUpgradeOutcomeCount) {
    __builtin_trap();
  }
  return static_cast<UpgradeOutcome>(index);
}

}  // namespace

}  // namespace tunewright

using tunewright::chain;

// WebAssembly without its exception-handling proposal cannot unwind: a throw (a converter with
// invalid IDs, or a vector asked to grow past memory) stops the module with a trap, which the
// page reports as a failure.
extern "C" void* __cxa_allocate_exception(std::size_t) {
  __builtin_trap();
}
extern "C" void __cxa_throw(void*, void*, void (*)(void*)) {
  __builtin_trap();
}

// Takes the snapshot of the converters that registered during the module's initialisation.
TUNEWRIGHT_EXPORT("start") void start() {
  using namespace tunewright;
  snapshotConverters();
  targets.clear();
  for (const Converter* converter : sortedConverters) {
    const auto sameTarget = [converter](const Converter* known) {
      return known->targetId() == converter->targetId();
    };
    if (std::none_of(targets.begin(), targets.end(), sameTarget)) {
      targets.push_back(converter);
    }
  }
}

TUNEWRIGHT_EXPORT("image") unsigned char* imageData() {
  return tunewright::image.data();
}

TUNEWRIGHT_EXPORT("imageCapacity") int32_t imageCapacity() {
  return tunewright::kImageCapacity;
}

// The endings of the names the program takes as presets; the page passes over every other name.
TUNEWRIGHT_EXPORT("presetExtensionCount") int32_t presetExtensionCount() {
  return static_cast<int32_t>(tunewright::kPresetExtensions.size());
}

TUNEWRIGHT_EXPORT("presetExtension") const char* presetExtension(int32_t index) {
  return tunewright::kPresetExtensions.at(static_cast<std::size_t>(index));
}

TUNEWRIGHT_EXPORT("converterCount") int32_t converterCount() {
  return static_cast<int32_t>(tunewright::sortedConverters.size());
}

TUNEWRIGHT_EXPORT("converterSource") int32_t converterSource(int32_t index) {
  return tunewright::converterAt(index)->sourceId();
}

TUNEWRIGHT_EXPORT("converterTarget") int32_t converterTarget(int32_t index) {
  return tunewright::converterAt(index)->targetId();
}

TUNEWRIGHT_EXPORT("converterSourceName") const char* converterSourceName(int32_t index) {
  return tunewright::converterAt(index)->sourceName();
}

TUNEWRIGHT_EXPORT("converterTargetName") const char* converterTargetName(int32_t index) {
  return tunewright::converterAt(index)->targetName();
}

TUNEWRIGHT_EXPORT("targetCount") int32_t targetCount() {
  return static_cast<int32_t>(tunewright::targets.size());
}

TUNEWRIGHT_EXPORT("targetId") int32_t targetId(int32_t index) {
  return tunewright::targets.at(static_cast<std::size_t>(index))->targetId();
}

TUNEWRIGHT_EXPORT("targetName") const char* targetName(int32_t index) {
  return tunewright::targets.at(static_cast<std::size_t>(index))->targetName();
}

// The converter list with every parameter map, as tunewright -l -v prints it with -t target (0:
// the newest), one line after another, each ending in a newline.
TUNEWRIGHT_EXPORT("parameterMaps") const char* parameterMaps(int32_t target) {
  using namespace tunewright;
  mapText.clear();
  for (const std::string& line : converterListLines(true, target)) {
    (mapText += line) += '\n';
  }
  return mapText.c_str();
}

// Converts the length bytes at image() to the target format (0: the newest), as the program
// converts one file, and returns the UpgradeOutcome. On kUpgraded the result is at image().
TUNEWRIGHT_EXPORT("convert") int32_t convert(int32_t length, int32_t target) {
  using namespace tunewright;
  last = recogniseAndUpgrade(length, target, image, spare, chain, nullptr);
  return static_cast<int32_t>(last.outcome);
}

// The outcomes the module returns: how many there are, what the page calls each, and the
// program's error line for each (a severity of 0 and no message for none).
TUNEWRIGHT_EXPORT("outcomeCount") int32_t outcomeCount() {
  return tunewright::kUpgradeOutcomeCount;
}

TUNEWRIGHT_EXPORT("outcomeName") const char* outcomeName(int32_t outcome) {
  return tunewright::kOutcomeNames[static_cast<std::size_t>(tunewright::outcomeAt(outcome))];
}

TUNEWRIGHT_EXPORT("outcomeSeverity") int32_t outcomeSeverity(int32_t outcome) {
  return tunewright::outcomeWords(tunewright::outcomeAt(outcome)).severity;
}

TUNEWRIGHT_EXPORT("outcomeMessage") const char* outcomeMessage(int32_t outcome) {
  return tunewright::outcomeWords(tunewright::outcomeAt(outcome)).message;
}

TUNEWRIGHT_EXPORT("resultLength") int32_t resultLength() {
  return tunewright::last.length;
}

// Whether the last file's programs were a bank's, in a file of its own or in a container.
TUNEWRIGHT_EXPORT("resultIsBank") int32_t resultIsBank() {
  return tunewright::last.recognition.content == tunewright::ImageKind::kBank ? 1 : 0;
}

// The format the last file was recognised as; nullptr when it was not.
TUNEWRIGHT_EXPORT("resultSourceName") const char* resultSourceName() {
  const tunewright::Converter* source = tunewright::last.recognition.source;
  return source == nullptr ? nullptr : source->sourceName();
}

// The format the last chain ends at; nullptr when there was none.
TUNEWRIGHT_EXPORT("resultTargetName") const char* resultTargetName() {
  return chain.empty() ? nullptr : chain.back()->targetName();
}

// The version code that the program puts in front of an output's name, such as 205 for "205_";
// -1 when there is no chain.
TUNEWRIGHT_EXPORT("resultVersionCode") int32_t resultVersionCode() {
  return chain.empty() ? -1 : tunewright::versionCode(chain.back()->targetId());
}
