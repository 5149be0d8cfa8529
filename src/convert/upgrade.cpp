// The one road for every image: recognition of its kind, the chain planned for it, and the run
// of that chain, each step over the whole image by the file of its kind.

#include "convert/upgrade.h"

#include <cstring>
#include <iterator>
#include <utility>

#include "convert/chain.h"
#include "convert/image_kinds.h"

namespace tunewright {

namespace {

// One step over the whole image, by its kind.
UpgradeOutcome applyStepToImage(const Converter& step, const Recognition& recognition,
                                int32_t length, const unsigned char* from, unsigned char* to,
                                int32_t& converted) {
  switch (recognition.kind) {
    case ImageKind::kProgram:
    case ImageKind::kBank:
      return applyStepToContent(step, recognition.kind, length, from, to, kImageCapacity,
                                converted);
    case ImageKind::kVstPreset:
      return applyStepToVstPreset(step, recognition.content, length, from, to, converted);
  }
  return UpgradeOutcome::kFailed;
}

// Indexed by UpgradeOutcome.
constexpr OutcomeWords kOutcomeWords[] = {
    {0, ""},  // no-mutate(constant): not an error, so its severity is never read
    {0, ""},  // no-mutate(constant): not an error, so its severity is never read
    {1, "Unrecognized source format: "},
    {1, "Couldn't make converter chain: "},
    {2, "Converter input does not match source format: "},
    {2, "Conversion failed: "},
    // A project's, each as a preset file with the same fault is reported: not recognised.
    {1, "Damaged project archive: "},
    {1, "Unsupported project archive: "},
    {1, "Malformed project document: "},
    {1, "Device state missing: "},
    {1, "Device state of another plug-in: "},
    {1, "Device parameter cannot be carried over: "},
};
static_assert(std::size(kOutcomeWords) == kUpgradeOutcomeCount, "one line for every outcome");

// Runs the chain, step by step, over every program of an image that recogniseImage admitted, with
// spare as work space, and returns kUpgraded, kInputMismatch or kFailed; upgraded, image holds
// the result and length its size.
UpgradeOutcome runChain(const ConverterList& chain, const Recognition& recognition, int32_t& length,
                        ImageBuffer& image, ImageBuffer& spare, StepObserver* observer) {
  // Each step reads one buffer and writes the other.
  unsigned char* from = image.data();
  unsigned char* to = spare.data();
  if (observer != nullptr) {
    observer->chainStarting();
  }
  for (const Converter* step : chain) {
    if (observer != nullptr) {
      observer->stepStarting(*step);
    }
    int32_t converted = 0;
    const UpgradeOutcome outcome =
        applyStepToImage(*step, recognition, length, from, to, converted);
    if (outcome != UpgradeOutcome::kUpgraded) {
      return outcome;
    }
    std::swap(from, to);
    length = converted;
    if (observer != nullptr) {
      observer->stepFinished(length, from);
    }
  }
  if (from != image.data()) {
    std::memcpy(image.data(), from, static_cast<std::size_t>(length));
  }
  return UpgradeOutcome::kUpgraded;
}

}  // namespace

const OutcomeWords& outcomeWords(UpgradeOutcome outcome) {
  return kOutcomeWords[static_cast<std::size_t>(outcome)];
}

Recognition recogniseImage(int32_t length, unsigned char* data) {
  // A program file or a bank, else a container around one.
  for (const auto recognise : {recogniseContent, recogniseVstPreset}) {
    const Recognition found = recognise(length, data);
    if (found.source != nullptr) {
      return found;
    }
  }
  return {};
}

Conversion recogniseAndUpgrade(int32_t length, FormatId target, ImageBuffer& image,
                               ImageBuffer& spare, ConverterList& chain, StepObserver* observer) {
  chain.clear();
  Conversion conversion;
  conversion.recognition = recogniseImage(length, image.data());
  const Converter* source = conversion.recognition.source;
  if (source == nullptr) {
    conversion.outcome = UpgradeOutcome::kUnrecognised;
  } else if (!buildChain(source->sourceId(), target, chain)) {
    conversion.outcome = UpgradeOutcome::kNoChain;
  } else if (chain.empty()) {
    conversion.outcome = UpgradeOutcome::kAlreadyCurrent;
  } else {
    conversion.outcome = runChain(chain, conversion.recognition, length, image, spare, observer);
    if (conversion.outcome == UpgradeOutcome::kUpgraded) {
      conversion.length = length;
    }
  }
  return conversion;
}

}  // namespace tunewright
