// The job for one project file: its archive read a range at a time (never its audio), its
// devices upgraded along the road of every preset, and the new archive written from pieces of
// the old one and new bytes, through the same safe write as every output.

#include "app/project_job.h"

#include <span>
#include <string>
#include <vector>

#include "app/console.h"
#include "app/options.h"
#include "convert/project.h"
#include "platform/platform.h"

namespace tunewright {

namespace {

// Prints each device at -vv and each state as loaded and as written at -vvv, beside what every
// upgrade prints.
class ProjectProgress final : public ProgressLines<ProjectObserver> {
 public:
  using ProgressLines::ProgressLines;

  void stateLoaded(const ProjectDevice& device, std::span<const unsigned char> state) override {
    if (options.verbosity >= 2) {
      printLine({"Device: ", device.name, " (", device.statePath, ")"});
    }
    if (options.verbosity >= 3) {
      dumpBytes(static_cast<int32_t>(state.size()), state.data());
    }
  }
  void stateUpgraded(const ProjectDevice&, std::span<const unsigned char> state) override {
    if (options.verbosity == 3) {
      dumpBytes(static_cast<int32_t>(state.size()), state.data());
    }
  }
};

}  // namespace

bool processProject(const PresetFile& project) {
  const char* path = project.path;
  platform::InputFile file = project.directory.openFile(project.name, project.kind);
  if (!file.isOpen()) {
    return reportSystemError(2, {"Failed to open input file: ", path});
  }
  ProjectProgress progress(path);
  ProjectUpgrade upgrade(static_cast<uint64_t>(file.identity().size), options.targetFormat,
                         &progress);
  while (const std::optional<ByteRange> range = upgrade.need()) {
    const std::span<unsigned char> room = upgrade.buffer();
    const int64_t got = file.read(range->offset, room.data(), static_cast<int64_t>(room.size()));
    if (got < 0) {
      return reportSystemError(2, {"Failed to read input file: ", path});
    }
    upgrade.supply(room.first(static_cast<std::size_t>(got)));
  }
  if (const std::optional<bool> settled = settle(upgrade.outcome(), path)) {
    // The device a refusal is about, on the line after it.
    if (const ProjectDevice* device = upgrade.refusedDevice()) {
      printErrorDetail({"Device: ", device->name, " (", device->statePath, ")"});
    }
    return *settled;
  }
  // The new archive: ranges of the file as it was opened, and the upgrade's new bytes.
  const std::span<const unsigned char> added = upgrade.newBytes();
  std::vector<platform::Piece> pieces;
  pieces.reserve(upgrade.pieces().size());  // no-mutate(drop-call): room once, not as it grows
  for (const OutputPiece& piece : upgrade.pieces()) {
    pieces.push_back(piece.original
                         ? platform::Piece::ofFile(file, piece.offset, piece.length)
                         : platform::Piece::ofBytes(added.data() + piece.offset, piece.length));
  }
  const platform::FileIdentity read = file.identity();
  return writeUpgrade(project, read, upgrade.firstFormat(), pieces);
}

}  // namespace tunewright
