// The page's way into the conversion core: the exports of the WebAssembly module, and nothing else.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "convert/chain.h"
#include "convert/converter.h"
#include "convert/map_text.h"
#include "convert/preset_extensions.h"
#include "convert/project.h"
#include "convert/upgrade.h"
#include "convert/zip_archive.h"

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

// The project being upgraded, from projectStart to projectEnd, and the room it gave for the
// range it needs.
std::unique_ptr<ProjectUpgrade> project;
std::span<unsigned char> room;

// The page's archive of several results, and its last header or trailer.
std::unique_ptr<StoredZipWriter> zipWriter;
std::vector<unsigned char> zipBytes;

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

const ProjectDevice& deviceAt(int32_t index) {
  return project->devices().at(static_cast<std::size_t>(index));
}

const OutputPiece& pieceAt(int32_t index) {
  return project->pieces().at(static_cast<std::size_t>(index));
}

// The first length bytes at image().
std::span<unsigned char> imageFirst(int32_t length) {
  if (length < 0 || length > kImageCapacity) {
    __builtin_trap();
  }
  return std::span(image).first(static_cast<std::size_t>(length));
}

// A size or offset of a file, which the page gives and takes as a JavaScript number: exact up to
// 2^53 bytes, far past any file.
uint64_t fromNumber(double number) {
  if (!(number >= 0 && number < 0x1p53)) {
    __builtin_trap();
  }
  return static_cast<uint64_t>(number);
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

// Whether a name with that ending is a project's, which the page reads by ranges.
TUNEWRIGHT_EXPORT("presetExtensionIsProject") int32_t presetExtensionIsProject(int32_t index) {
  return tunewright::isProjectName(presetExtension(index)) ? 1 : 0;
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

// A project's upgrade, as the program's project job drives it: started with the archive's size
// and the target format (0: the newest), then, while projectNeedLength() is not negative, the
// page puts the bytes of the range needed (fewer where the file ends) at projectRoom() and hands
// their count to projectSupply. A trap leaves the upgrade to projectEnd.
TUNEWRIGHT_EXPORT("projectStart") void projectStart(double archiveSize, int32_t target) {
  using namespace tunewright;
  project = std::make_unique<ProjectUpgrade>(fromNumber(archiveSize), target, nullptr);
}

TUNEWRIGHT_EXPORT("projectNeedOffset") double projectNeedOffset() {
  const auto range = tunewright::project->need();
  return range ? static_cast<double>(range->offset) : -1;
}

TUNEWRIGHT_EXPORT("projectNeedLength") double projectNeedLength() {
  const auto range = tunewright::project->need();
  return range ? static_cast<double>(range->length) : -1;
}

TUNEWRIGHT_EXPORT("projectRoom") unsigned char* projectRoom() {
  tunewright::room = tunewright::project->buffer();
  return tunewright::room.data();
}

TUNEWRIGHT_EXPORT("projectSupply") void projectSupply(int32_t length) {
  using namespace tunewright;
  if (length < 0 || static_cast<std::size_t>(length) > room.size()) {
    __builtin_trap();
  }
  project->supply(room.first(static_cast<std::size_t>(length)));
}

// Once finished: the outcome (UpgradeOutcome's number, as convert returns one); the version code
// that names the output (-1 unless upgraded); the device the outcome is about, its name and its
// state's path (nullptr when it is about the whole project).
TUNEWRIGHT_EXPORT("projectOutcome") int32_t projectOutcome() {
  return static_cast<int32_t>(tunewright::project->outcome());
}

TUNEWRIGHT_EXPORT("projectVersionCode") int32_t projectVersionCode() {
  const tunewright::FormatId format = tunewright::project->firstFormat();
  return format == 0 ? -1 : tunewright::versionCode(format);
}

TUNEWRIGHT_EXPORT("projectRefusedName") const char* projectRefusedName() {
  const tunewright::ProjectDevice* device = tunewright::project->refusedDevice();
  return device == nullptr ? nullptr : device->name.c_str();
}

TUNEWRIGHT_EXPORT("projectRefusedPath") const char* projectRefusedPath() {
  const tunewright::ProjectDevice* device = tunewright::project->refusedDevice();
  return device == nullptr ? nullptr : device->statePath.c_str();
}

// The devices of known plug-ins in document order: each one's name, and the formats its state
// went from and to (nullptr when it was left as it was).
TUNEWRIGHT_EXPORT("projectDeviceCount") int32_t projectDeviceCount() {
  return static_cast<int32_t>(tunewright::project->devices().size());
}

TUNEWRIGHT_EXPORT("projectDeviceName") const char* projectDeviceName(int32_t index) {
  return tunewright::deviceAt(index).name.c_str();
}

TUNEWRIGHT_EXPORT("projectDeviceSource") const char* projectDeviceSource(int32_t index) {
  const tunewright::ConverterList& steps = tunewright::deviceAt(index).steps;
  return steps.empty() ? nullptr : steps.front()->sourceName();
}

TUNEWRIGHT_EXPORT("projectDeviceTarget") const char* projectDeviceTarget(int32_t index) {
  const tunewright::ConverterList& steps = tunewright::deviceAt(index).steps;
  return steps.empty() ? nullptr : steps.back()->targetName();
}

// The upgraded archive, piece by piece in file order: a range of the original (1) or of the
// new bytes at projectNewBytes() (0).
TUNEWRIGHT_EXPORT("projectPieceCount") int32_t projectPieceCount() {
  return static_cast<int32_t>(tunewright::project->pieces().size());
}

TUNEWRIGHT_EXPORT("projectPieceIsOriginal") int32_t projectPieceIsOriginal(int32_t index) {
  return tunewright::pieceAt(index).original ? 1 : 0;
}

TUNEWRIGHT_EXPORT("projectPieceOffset") double projectPieceOffset(int32_t index) {
  return static_cast<double>(tunewright::pieceAt(index).offset);
}

TUNEWRIGHT_EXPORT("projectPieceLength") double projectPieceLength(int32_t index) {
  return static_cast<double>(tunewright::pieceAt(index).length);
}

TUNEWRIGHT_EXPORT("projectNewBytes") const unsigned char* projectNewBytes() {
  return tunewright::project->newBytes().data();
}

TUNEWRIGHT_EXPORT("projectEnd") void projectEnd() {
  tunewright::project.reset();
  tunewright::room = {};
}

// The CRC-32 of the length bytes at image(), continuing the CRC of the bytes before them: the
// page takes a large result through image() a piece at a time.
TUNEWRIGHT_EXPORT("crc32") uint32_t crc32(uint32_t before, int32_t length) {
  using namespace tunewright;
  return zipCrc32(imageFirst(length), before);
}

// The page's archive of several results, stored: started with the time and date every entry
// gets; then for each result, its local header, which goes right before its content; then the
// central directory and end records. Each call leaves its bytes at zipBytes() and returns their
// length.
TUNEWRIGHT_EXPORT("zipStart")
void zipStart(int32_t year, int32_t month, int32_t day, int32_t hours, int32_t minutes,
              int32_t seconds) {
  using namespace tunewright;
  // As MS-DOS packs them: years from 1980, two-second steps.
  const auto field = [](int32_t value, int32_t shift) {
    return static_cast<uint32_t>(value) << static_cast<uint32_t>(shift);
  };
  zipWriter = std::make_unique<StoredZipWriter>(field(year - 1980, 25) | field(month, 21) |
                                                field(day, 16) | field(hours, 11) |
                                                field(minutes, 5) | field(seconds / 2, 0));
}

// The header of a result of size bytes with that CRC, whose name's nameLength bytes (UTF-8) are
// at image(); -1 for a name longer than an archive holds.
TUNEWRIGHT_EXPORT("zipEntry") int32_t zipEntry(int32_t nameLength, double size, uint32_t crc) {
  using namespace tunewright;
  zipBytes.clear();
  const std::span<const unsigned char> bytes = imageFirst(nameLength);
  const std::string_view name(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (!zipWriter->addEntry(name, fromNumber(size), crc, zipBytes)) {
    return -1;
  }
  return static_cast<int32_t>(zipBytes.size());
}

TUNEWRIGHT_EXPORT("zipFinish") int32_t zipFinish() {
  using namespace tunewright;
  zipBytes.clear();
  zipWriter->finish(zipBytes);
  zipWriter.reset();
  return static_cast<int32_t>(zipBytes.size());
}

TUNEWRIGHT_EXPORT("zipBytes") const unsigned char* zipBytesData() {
  return tunewright::zipBytes.data();
}
