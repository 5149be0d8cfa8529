// The upgrade of a project: its archive read by ranges, project.xml read and its devices taken
// in document order, each state once through the road of every preset file, the parameters and
// their automation moved by the chain's map as patches of attribute values, then the new
// archive planned. The first device that cannot be upgraded leaves the whole project as it is.

#include "convert/project.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <type_traits>

#include "convert/chain.h"
#include "convert/compression.h"
#include "convert/decimal_text.h"
#include "convert/parameter_map.h"
#include "convert/project_document.h"
#include "preset/preset_image.h"

namespace tunewright {

namespace {

// A state is a program file or a bank, so an image; its compressed data is at most what the
// deflate of the largest image takes.
constexpr uint64_t kStateDataLimit = deflateRoom(kImageCapacity);

// The outcome of an archive that cannot be read or written.
UpgradeOutcome archiveOutcome(ArchiveFault fault) {
  switch (fault) {
    case ArchiveFault::kNotZip:
      return UpgradeOutcome::kUnrecognised;
    case ArchiveFault::kDamaged:
      return UpgradeOutcome::kArchiveDamaged;
    case ArchiveFault::kNeedsZip64:
      return UpgradeOutcome::kFailed;  // as an upgrade that would not fit a file's capacity
    case ArchiveFault::kUnsupported:
    case ArchiveFault::kNone:
      break;
  }
  return UpgradeOutcome::kArchiveUnsupported;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() == ' ') {
    text.remove_suffix(1);
  }
  return text;
}

// A whole attribute read as a number of type T by from_chars, spaces around it allowed.
template <typename T>
bool readInteger(std::string_view text, T& value) {
  text = trimmed(text);
  if (text.starts_with('+')) {
    text.remove_prefix(1);
  }
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// A decimal number as XML writes a double or float (digits, a point, an exponent; no INF or NaN),
// spaces around it allowed, read as the nearest value of type T. The C library reads it once the
// syntax is known to be plain decimal: it rounds correctly on every platform the program is built
// for, and the program never changes its locale from "C".
template <typename T>
bool readDecimal(std::string_view text, T& value) {
  text = trimmed(text);
  std::size_t i = text.starts_with('+') || text.starts_with('-') ? 1 : 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
      ++i;
    }
    return i - from;
  };
  std::size_t count = digits();
  if (i < text.size() && text[i] == '.') {
    ++i;
    count += digits();
  }
  if (count > 0 && i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
      ++i;
    }
    count = digits() > 0 ? count : 0;
  }
  char number[128];
  if (count == 0 || i != text.size() || text.size() >= sizeof number) {
    return false;
  }
  std::memcpy(number, text.data(), text.size());
  number[text.size()] = '\0';
  if constexpr (std::is_same_v<T, float>) {
    value = std::strtof(number, nullptr);
  } else {
    value = std::strtod(number, nullptr);
  }
  return std::isfinite(value);
}

// A parameter's scale: its min and max when both are given; otherwise its value lies in 0..1.
struct Scale {
  bool given = false;
  double min = 0;
  double max = 1;

  float word(double value) const { return static_cast<float>((value - min) / (max - min)); }
};

// The shortest text that reads back as the word: as a float when the value is the word itself,
// else as the value in the parameter's scale whose word is that one.
std::string textOf(float word, const Scale& scale) {
  char text[64];
  if (!scale.given) {
    return {text, std::to_chars(text, text + sizeof text, word).ptr};
  }
  const double value = scale.min + static_cast<double>(word) * (scale.max - scale.min);
  for (int precision = 1;; ++precision) {
    // Seventeen digits read back as the value itself.
    std::string written = decimalText(value, precision);
    double read = 0;
    if (precision == 17 ||
        (readDecimal(std::string_view(written), read) &&
         std::bit_cast<uint32_t>(scale.word(read)) == std::bit_cast<uint32_t>(word))) {
      return written;
    }
  }
}

// A value of a parameter of that scale after the chain, as text: taken into 0..1 and made the
// nearest float, as the preset's word is, carried through the chain, and written back. result
// is left empty when the word stays as it was, so that the text does too. False when the text
// is not a number, or the chain makes a word that is none.
bool transformValue(const ChainMap& map, int32_t index, const Scale& scale, std::string_view text,
                    std::string& result) {
  result.clear();
  float word = 0;
  double value = 0;
  if (scale.given ? !readDecimal(text, value) : !readDecimal(text, word)) {
    return false;
  }
  if (scale.given) {
    word = scale.word(value);
  }
  const float changed = map.transform(index, word);
  if (std::bit_cast<uint32_t>(changed) == std::bit_cast<uint32_t>(word)) {
    return true;
  }
  if (!std::isfinite(changed)) {
    return false;
  }
  result = textOf(changed, scale);
  return true;
}

// Whether an attribute's value, resolved, is that text; most values hold no reference.
bool attributeIs(std::string_view xml, const ValueSpan& span, std::string_view text) {
  const std::string_view raw = span.in(xml);
  return raw.find_first_of("&\t\n\r") == std::string_view::npos ? raw == text
                                                                : attributeText(xml, span) == text;
}

bool samePlugin(const char* a, const char* b) {
  return a != nullptr && b != nullptr && std::strncmp(a, b, 4) == 0;
}

// The plug-in some converter knows whose VST 2 unique ID the deviceID gives, as an unsigned
// decimal number; nullptr for any other.
const char* knownPlugin(std::string_view deviceId) {
  uint32_t number = 0;
  if (!readInteger(deviceId, number)) {
    return nullptr;
  }
  const char id[4] = {static_cast<char>(number >> 24), static_cast<char>(number >> 16),
                      static_cast<char>(number >> 8), static_cast<char>(number)};
  for (const Converter* converter : sortedConverters) {
    const char* plugin = converter->parameterMap().pluginId;
    if (std::strlen(plugin) == 4 && std::memcmp(plugin, id, 4) == 0) {
      return plugin;
    }
  }
  return nullptr;
}

// The plug-in of the format that -t names; nullptr for none.
const char* pluginOf(FormatId format) {
  for (const Converter* converter : sortedConverters) {
    if (converter->targetId() == format || converter->sourceId() == format) {
      return converter->parameterMap().pluginId;
    }
  }
  return nullptr;
}

// Whether an image is a program of the plug-in with count parameters, laid out as one.
bool isProgramOf(const unsigned char* program, int64_t length, const char* plugin, int32_t count) {
  return length == presetLength(count) && hasTag(program, kChunkMagicOffset, "CcnK") &&
         hasTag(program, kFxMagicOffset, "FxCk") &&
         std::memcmp(program + kFxIdOffset, plugin, 4) == 0 &&
         headerCountIs(program, kNumParamsOffset, count);
}

// Whether a state the road did not recognise is already in the layout of the format asked for:
// a program, or a bank of programs, of the device's plug-in with that layout's count of
// parameters, where that layout is one no converter reads (the newest of its plug-in, or a -t
// that names it), so that recognition could not have told it.
bool inTargetLayout(std::span<const unsigned char> state, const char* plugin, FormatId target) {
  FormatId layout = target;
  int32_t count = -1;
  for (const Converter* converter : sortedConverters) {
    const ParameterMap& map = converter->parameterMap();
    if (samePlugin(map.pluginId, plugin) &&
        (target > 0 ? converter->targetId() == target : converter->targetId() > layout)) {
      layout = converter->targetId();
      count = map.targetCount;
    }
  }
  const bool read = std::any_of(sortedConverters.begin(), sortedConverters.end(),
                                [layout](const Converter* c) { return c->sourceId() == layout; });
  const auto length = static_cast<int64_t>(state.size());
  const unsigned char* data = state.data();
  if (count < 0 || read || length < kParamsOffset) {
    return false;
  }
  if (!hasTag(data, kFxMagicOffset, "FxBk")) {
    return isProgramOf(data, length, plugin, count);
  }
  const int32_t programs = loadHeaderCount(data, kNumProgramsOffset);
  if (length < kBankHeaderSize || !hasTag(data, kChunkMagicOffset, "CcnK") ||
      std::memcmp(data + kFxIdOffset, plugin, 4) != 0 || programs < 1 ||
      length != kBankHeaderSize + int64_t{programs} * presetLength(count)) {
    return false;
  }
  for (int64_t offset = kBankHeaderSize; offset < length; offset += presetLength(count)) {
    if (!isProgramOf(data + offset, presetLength(count), plugin, count)) {
      return false;
    }
  }
  return true;
}

}  // namespace

struct ProjectUpgrade::Work {
  enum class Step { kArchive, kProjectXml, kState, kDone };

  // A state file, read and upgraded once however many devices share it.
  struct State {
    std::string path;
    const ZipEntry* entry;
    const char* plugin = nullptr;  // the plug-in its device named; its programs are that one's
    ConverterList chain;           // the steps it went through: empty when left as it was
    std::vector<unsigned char> upgraded;
  };

  struct Patch {
    std::size_t offset;
    std::size_t length;
    std::string text;
  };

  Work(uint64_t size, FormatId targetFormat, ProjectObserver* told)
      : target(targetFormat), observer(told), archive(size) {}

  void readArchive(std::span<const unsigned char> bytes);
  void readProjectXml(std::span<const unsigned char> bytes);
  void readState(std::span<const unsigned char> bytes);
  void upgradeDevices();
  bool moveParameters(const DocumentDevice& device, const ConverterList& chain);
  bool moveAutomation(const DocumentState& device, const ChainMap& map, int32_t index,
                      const Scale& scale, const std::string& id);
  bool checkSharing();
  void plan();

  void finish(UpgradeOutcome result) {
    outcome = result;
    step = Step::kDone;
  }
  // Leaves the project as it is, because of the device.
  bool refuse(UpgradeOutcome result, const DocumentState& device) {
    refused = ProjectDevice{attributeText(xml, device.name), attributeText(xml, device.path), {}};
    finish(result);
    return false;
  }
  // A value's new text; none when it stays as it is.
  void patch(const ValueSpan& span, std::string text) {
    if (!text.empty()) {
      patches.push_back({span.offset, span.length, std::move(text)});
    }
  }

  FormatId target;
  ProjectObserver* observer;
  ZipArchive archive;
  Step step = Step::kArchive;
  ByteRange pending;
  std::vector<unsigned char> request;
  UpgradeOutcome outcome = UpgradeOutcome::kUnrecognised;

  const ZipEntry* xmlEntry = nullptr;
  std::string xml;
  ProjectDocument document;
  std::size_t nextDevice = 0;
  bool deviceMet = false;  // the device at nextDevice has its entry in devices
  std::vector<State> states;
  std::vector<ProjectDevice> devices;
  std::optional<ProjectDevice> refused;
  std::vector<Patch> patches;
  std::unique_ptr<ImageBuffer> image;
  std::unique_ptr<ImageBuffer> spare;

  std::vector<OutputPiece> pieces;
  std::vector<unsigned char> newBytes;
};

void ProjectUpgrade::Work::readArchive(std::span<const unsigned char> bytes) {
  archive.supply(bytes);
  bool several = false;
  // An archive whose central directory names no project.xml is no project, whatever else is
  // wrong with it.
  const bool noProject =
      !archive.entries().empty() && archive.find("project.xml", several) == nullptr && !several;
  if (archive.fault() != ArchiveFault::kNone) {
    finish(noProject ? UpgradeOutcome::kUnrecognised : archiveOutcome(archive.fault()));
    return;
  }
  if (!archive.ready()) {
    return;
  }
  xmlEntry = archive.find("project.xml", several);
  if (xmlEntry == nullptr) {
    finish(several ? UpgradeOutcome::kArchiveDamaged : UpgradeOutcome::kUnrecognised);
    return;
  }
  // A bomb says it is small, and is stopped there; one that says it is large is never read.
  if (xmlEntry->size > kProjectXmlLimit ||
      xmlEntry->compressedSize > deflateRoom(kProjectXmlLimit)) {
    finish(UpgradeOutcome::kArchiveUnsupported);
    return;
  }
  step = Step::kProjectXml;
  pending = archive.dataRange(*xmlEntry);
}

void ProjectUpgrade::Work::readProjectXml(std::span<const unsigned char> bytes) {
  xml.assign(static_cast<std::size_t>(xmlEntry->size), '\0');
  const ArchiveFault fault =
      archive.extract(*xmlEntry, bytes, {reinterpret_cast<unsigned char*>(xml.data()), xml.size()});
  request = {};  // its compressed data, when read there, is no longer needed
  if (fault != ArchiveFault::kNone) {
    finish(archiveOutcome(fault));
    return;
  }
  if (!readProjectDocument(xml, document)) {
    finish(UpgradeOutcome::kProjectMalformed);
    return;
  }
  upgradeDevices();
}

// Devices in document order; each waits for its state's data the first time a state is met.
void ProjectUpgrade::Work::upgradeDevices() {
  const char* targetPlugin = target > 0 ? pluginOf(target) : nullptr;
  for (; nextDevice < document.devices.size(); ++nextDevice, deviceMet = false) {
    const DocumentDevice& device = document.devices[nextDevice];
    const char* plugin = knownPlugin(attributeText(xml, device.deviceId));
    if (plugin == nullptr) {
      continue;  // another plug-in's: never touched
    }
    if (!deviceMet) {
      devices.push_back(
          {attributeText(xml, device.state.name), attributeText(xml, device.state.path), {}});
      deviceMet = true;
    }
    if (targetPlugin != nullptr && !samePlugin(plugin, targetPlugin)) {
      continue;  // -t names the other product: left as it is
    }
    const std::string& path = devices.back().statePath;
    const std::string external = attributeText(xml, device.state.external);
    if (!device.state.path.present || trimmed(external) == "true" || trimmed(external) == "1") {
      refuse(UpgradeOutcome::kStateMissing, device.state);
      return;
    }
    const auto known = std::find_if(states.begin(), states.end(),
                                    [&](const State& state) { return state.path == path; });
    if (known == states.end()) {
      bool several = false;
      const ZipEntry* entry = archive.find(path, several);
      if (entry == nullptr) {
        refuse(several ? UpgradeOutcome::kArchiveDamaged : UpgradeOutcome::kStateMissing,
               device.state);
        return;
      }
      if (entry->size > static_cast<uint64_t>(kImageCapacity) ||
          entry->compressedSize > kStateDataLimit) {
        refuse(UpgradeOutcome::kUnrecognised, device.state);  // larger than any preset
        return;
      }
      states.push_back({path, entry, plugin, {}, {}});
      step = Step::kState;
      pending = archive.dataRange(*entry);
      return;
    }
    if (!samePlugin(known->plugin, plugin)) {
      refuse(UpgradeOutcome::kStateMismatch, device.state);
      return;
    }
    devices.back().steps = known->chain;
    if (!known->chain.empty() && !moveParameters(device, known->chain)) {
      return;
    }
  }
  if (checkSharing()) {
    plan();
  }
}

// The state of the device at nextDevice, through the road of every preset file.
void ProjectUpgrade::Work::readState(std::span<const unsigned char> bytes) {
  State& state = states.back();
  const DocumentState& device = document.devices[nextDevice].state;
  if (!image) {
    // Left uninitialised, as the file job's are: only what a state needs is ever touched.
    image.reset(new ImageBuffer);
    spare.reset(new ImageBuffer);
  }
  const auto length = static_cast<int32_t>(state.entry->size);
  const std::span<unsigned char> content(image->data(), static_cast<std::size_t>(length));
  if (const ArchiveFault fault = archive.extract(*state.entry, bytes, content);
      fault != ArchiveFault::kNone) {
    refuse(archiveOutcome(fault), device);
    return;
  }
  if (observer != nullptr) {
    observer->stateLoaded(devices.back(), content);
  }
  const Conversion conversion =
      recogniseAndUpgrade(length, target, *image, *spare, state.chain, observer);
  const Converter* source = conversion.recognition.source;
  if (source != nullptr && !samePlugin(source->parameterMap().pluginId, state.plugin)) {
    refuse(UpgradeOutcome::kStateMismatch, device);
    return;
  }
  switch (conversion.outcome) {
    case UpgradeOutcome::kUpgraded:
      state.upgraded.assign(image->begin(), image->begin() + conversion.length);
      if (observer != nullptr) {
        observer->stateUpgraded(devices.back(), state.upgraded);
      }
      break;
    case UpgradeOutcome::kAlreadyCurrent:
      state.chain.clear();
      break;
    case UpgradeOutcome::kUnrecognised:  // and so left untouched
      if (!inTargetLayout(content, state.plugin, target)) {
        refuse(UpgradeOutcome::kUnrecognised, device);
        return;
      }
      break;
    default:
      refuse(conversion.outcome, device);
      return;
  }
  upgradeDevices();
}

// Every parameter of the device moved to its new index at once, from the indices as they were,
// and the values the chain changes changed, with every point of their automation.
bool ProjectUpgrade::Work::moveParameters(const DocumentDevice& device,
                                          const ConverterList& chain) {
  const ChainMap map(chain);
  for (const DocumentParameter& parameter : device.parameters) {
    if (!parameter.parameterId.present) {
      continue;  // refers to no parameter of the plug-in
    }
    int32_t index = -1;
    if (!readInteger(attributeText(xml, parameter.parameterId), index) || index < 0 ||
        index >= map.sourceCount() || map.destination(index) == kDropped) {
      return refuse(UpgradeOutcome::kParameterNotCarried, device.state);
    }
    if (map.destination(index) != index) {
      patch(parameter.parameterId, std::to_string(map.destination(index)));
    }
    if (!map.changesValue(index)) {
      continue;
    }
    // Only a real number carries a changed value: a switch, a whole number or a list of names
    // has no word the change could be made on.
    Scale scale;
    if (!parameter.real ||
        (parameter.min.present && parameter.max.present &&
         (!readDecimal(attributeText(xml, parameter.min), scale.min) ||
          !readDecimal(attributeText(xml, parameter.max), scale.max) || scale.min == scale.max))) {
      return refuse(UpgradeOutcome::kParameterNotCarried, device.state);
    }
    scale.given = parameter.min.present && parameter.max.present;
    std::string value;
    if (parameter.value.present) {
      if (!transformValue(map, index, scale, attributeText(xml, parameter.value), value)) {
        return refuse(UpgradeOutcome::kParameterNotCarried, device.state);
      }
      patch(parameter.value, value);
    }
    if (parameter.id.present &&
        !moveAutomation(device.state, map, index, scale, attributeText(xml, parameter.id))) {
      return false;
    }
  }
  return true;
}

// Every point of the automation that drives the parameter of that id, each once. The id must
// name it alone.
bool ProjectUpgrade::Work::moveAutomation(const DocumentState& device, const ChainMap& map,
                                          int32_t index, const Scale& scale,
                                          const std::string& id) {
  const auto named =
      std::count_if(document.ids.begin(), document.ids.end(),
                    [&](const ValueSpan& span) { return attributeIs(xml, span, id); });
  if (named != 1) {
    return refuse(UpgradeOutcome::kProjectMalformed, device);
  }
  for (const DocumentAutomation& automation : document.automation) {
    if (automation.target != id) {
      continue;
    }
    if (automation.otherPoints) {
      return refuse(UpgradeOutcome::kParameterNotCarried, device);
    }
    for (const ValueSpan& point : automation.values) {
      std::string value;
      if (!point.present || !transformValue(map, index, scale, attributeText(xml, point), value)) {
        return refuse(UpgradeOutcome::kParameterNotCarried, device);
      }
      patch(point, value);
    }
  }
  return true;
}

// A state file that is rewritten must be no other device's: not one of another plug-in, nor
// one left as it was because -t names the other product.
bool ProjectUpgrade::Work::checkSharing() {
  const auto rewritten = [&](const DocumentState& other) {
    const std::string path = attributeText(xml, other.path);
    return other.path.present && std::any_of(states.begin(), states.end(), [&](const State& s) {
             return s.path == path && !s.upgraded.empty();
           });
  };
  const char* targetPlugin = target > 0 ? pluginOf(target) : nullptr;
  for (const DocumentDevice& device : document.devices) {
    const char* plugin = knownPlugin(attributeText(xml, device.deviceId));
    const bool upgradedHere =
        plugin != nullptr && (targetPlugin == nullptr || samePlugin(plugin, targetPlugin));
    if (!upgradedHere && rewritten(device.state)) {
      return refuse(UpgradeOutcome::kStateMismatch, device.state);
    }
  }
  for (const DocumentState& other : document.otherStates) {
    if (rewritten(other)) {
      return refuse(UpgradeOutcome::kStateMismatch, other);
    }
  }
  return true;
}

// The new archive: project.xml with its patches, when it has any, and each upgraded state.
void ProjectUpgrade::Work::plan() {
  std::vector<ZipReplacement> replacements;
  for (const State& state : states) {
    if (!state.upgraded.empty()) {
      replacements.push_back({state.entry, state.upgraded});
    }
  }
  if (replacements.empty()) {
    finish(UpgradeOutcome::kAlreadyCurrent);
    return;
  }
  std::string patched;
  if (!patches.empty()) {
    std::sort(patches.begin(), patches.end(),
              [](const Patch& a, const Patch& b) { return a.offset < b.offset; });
    std::size_t copied = 0;
    for (const Patch& change : patches) {
      patched.append(xml, copied, change.offset - copied).append(change.text);
      copied = change.offset + change.length;
    }
    patched.append(xml, copied);
    xml = {};
    document = {};
    replacements.push_back(
        {xmlEntry, {reinterpret_cast<const unsigned char*>(patched.data()), patched.size()}});
  }
  const ArchiveFault fault = archive.plan(replacements, pieces, newBytes);
  if (fault != ArchiveFault::kNone) {
    pieces.clear();
    newBytes.clear();
    finish(archiveOutcome(fault));
    return;
  }
  finish(UpgradeOutcome::kUpgraded);
}

ProjectUpgrade::ProjectUpgrade(uint64_t archiveSize, FormatId target, ProjectObserver* observer)
    : work_(std::make_unique<Work>(archiveSize, target, observer)) {}

ProjectUpgrade::~ProjectUpgrade() = default;

std::optional<ByteRange> ProjectUpgrade::need() const {
  switch (work_->step) {
    case Work::Step::kArchive:
      return work_->archive.need();
    case Work::Step::kProjectXml:
    case Work::Step::kState:
      return work_->pending;
    case Work::Step::kDone:
      break;
  }
  return std::nullopt;
}

std::span<unsigned char> ProjectUpgrade::buffer() {
  const std::optional<ByteRange> range = need();
  work_->request.resize(range ? static_cast<std::size_t>(range->length) : 0);
  return work_->request;
}

void ProjectUpgrade::supply(std::span<const unsigned char> bytes) {
  switch (work_->step) {
    case Work::Step::kArchive:
      work_->readArchive(bytes);
      break;
    case Work::Step::kProjectXml:
      work_->readProjectXml(bytes);
      break;
    case Work::Step::kState:
      work_->readState(bytes);
      break;
    case Work::Step::kDone:
      break;
  }
  if (work_->step == Work::Step::kDone) {
    work_->request.clear();
    work_->request.shrink_to_fit();
  }
}

UpgradeOutcome ProjectUpgrade::outcome() const {
  return work_->outcome;
}

const std::vector<ProjectDevice>& ProjectUpgrade::devices() const {
  return work_->devices;
}

const ProjectDevice* ProjectUpgrade::refusedDevice() const {
  return work_->refused ? &*work_->refused : nullptr;
}

FormatId ProjectUpgrade::firstFormat() const {
  if (work_->outcome != UpgradeOutcome::kUpgraded) {
    return 0;
  }
  for (const ProjectDevice& device : work_->devices) {
    if (!device.steps.empty()) {
      return device.steps.back()->targetId();
    }
  }
  return 0;
}

const std::vector<OutputPiece>& ProjectUpgrade::pieces() const {
  return work_->pieces;
}

std::span<const unsigned char> ProjectUpgrade::newBytes() const {
  return work_->newBytes;
}

}  // namespace tunewright
