// Hostile projects: arbitrary archives, and arbitrary project.xml documents in an archive with
// the states they may name, through the upgrade to every target. Never a crash, never a range
// outside the archive, never a plan for a project that is left as it is; and an upgraded
// project, read back, holds every entry in its place, the ones not rewritten byte for byte, a
// project.xml that differs only inside attribute values, and states that are the road's.
//
// The first byte chooses: bit 0, whether the rest is the archive or project.xml; bits 1-2, the
// target.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "convert/chain.h"
#include "convert/project.h"
#include "fuzz_check.h"
#include "preset_builder.h"
#include "project_builder.h"

namespace tunewright {
namespace {

using fuzz::require;

constexpr FormatId kTargets[] = {0, 1000200, 1000203, 2000501};

// The states a fuzzed project.xml may name: the worked layouts of both plug-ins, and a bank.
std::vector<testing::ZipSource> states() {
  const auto bytes = [](const testing::Image& image) {
    return std::string(image.bytes.begin(), image.bytes.end());
  };
  testing::Image v203 = testing::makeImage("Tvla", 54);
  v203.setParamBits(0, 0x3F0000CB);
  return {{"plugins/a.fxp", bytes(testing::makeImage("Tvla", 50)), true, true},
          {"plugins/b.fxp", bytes(testing::makeImage("Tvla", 53)), false, false},
          {"plugins/c.fxp", bytes(v203), true, false},
          {"plugins/d.fxp", bytes(testing::makeImage("Bskl", 6)), false, true},
          {"plugins/e.fxb",
           bytes(testing::makeBank({testing::makeImage("Bskl", 6), testing::makeImage("Bskl", 6)})),
           true, true}};
}

std::string contentOf(ZipArchive& archive, const std::string& bytes, const ZipEntry& entry) {
  std::string content;
  return testing::extractEntry(archive, bytes, entry, content) == ArchiveFault::kNone
             ? content
             : std::string();
}

// The state as the road upgrades it to target on its own.
std::string roadUpgrade(const std::string& state, FormatId target) {
  static const auto image = std::make_unique<ImageBuffer>();
  static const auto spare = std::make_unique<ImageBuffer>();
  std::memcpy(image->data(), state.data(), state.size());
  ConverterList chain;
  const Conversion conversion = recogniseAndUpgrade(static_cast<int32_t>(state.size()), target,
                                                    *image, *spare, chain, nullptr);
  return conversion.outcome == UpgradeOutcome::kUpgraded
             ? std::string(image->begin(), image->begin() + conversion.length)
             : state;
}

void upgrade(const std::string& original, FormatId target) {
  ProjectUpgrade project(original.size(), target, nullptr);
  while (const auto range = project.need()) {
    require(range->offset <= original.size() && range->length <= original.size() - range->offset,
            "every range asked for lies in the archive");
    const std::span<unsigned char> buffer = project.buffer();
    require(buffer.size() == range->length, "the buffer holds the range");
    std::copy_n(original.begin() + static_cast<std::ptrdiff_t>(range->offset), buffer.size(),
                buffer.begin());
    project.supply(buffer);
  }
  if (project.outcome() != UpgradeOutcome::kUpgraded) {
    require(project.pieces().empty(), "no plan for a project left as it is");
    return;
  }
  for (const OutputPiece& piece : project.pieces()) {
    require(piece.offset + piece.length <=
                (piece.original ? original.size() : project.newBytes().size()),
            "every piece lies in what it is taken from");
  }
  const std::string output = testing::assemblePlan(project.pieces(), project.newBytes(), original);

  // The two archives entry by entry: the same names, and what was not rewritten as it was.
  ZipArchive before(original.size());
  testing::feedArchive(before, original);
  ZipArchive after(output.size());
  testing::feedArchive(after, output);
  require(before.ready() && after.ready(), "the upgraded archive reads as the original did");
  bool several = false;
  for (const ProjectDevice& device : project.devices()) {
    const ZipEntry* old = before.find(device.statePath, several);
    const ZipEntry* now = after.find(device.statePath, several);
    if (device.steps.empty() || old == nullptr) {
      continue;
    }
    require(now != nullptr && contentOf(after, output, *now) ==
                                  roadUpgrade(contentOf(before, original, *old), target),
            "an upgraded state is what the road makes of it");
  }
  std::vector<std::string> rewritten = {"project.xml"};
  for (const ProjectDevice& device : project.devices()) {
    if (!device.steps.empty()) {
      rewritten.push_back(device.statePath);
    }
  }
  require(before.entries().size() == after.entries().size(), "every entry stays");
  for (std::size_t i = 0; i < before.entries().size(); ++i) {
    const ZipEntry& old = before.entries()[i];
    const ZipEntry& now = after.entries()[i];
    require(old.name == now.name, "every entry keeps its name and place");
    if (std::find(rewritten.begin(), rewritten.end(), old.name) == rewritten.end()) {
      require(original.compare(old.headerOffset, old.end - old.headerOffset, output,
                               now.headerOffset, now.end - now.headerOffset) == 0,
              "an entry not rewritten is copied byte for byte");
    }
  }
  const ZipEntry* oldXml = before.find("project.xml", several);
  const ZipEntry* newXml = after.find("project.xml", several);
  require(oldXml != nullptr && newXml != nullptr, "project.xml stays");
  const std::string xml = contentOf(after, output, *newXml);
  require(!xml.empty() && testing::withoutAttributeValues(xml) ==
                              testing::withoutAttributeValues(contentOf(before, original, *oldXml)),
          "project.xml differs only inside attribute values");
}

std::string archiveAround(std::string xml) {
  std::vector<testing::ZipSource> entries = {{"project.xml", std::move(xml), true, true}};
  for (testing::ZipSource& state : states()) {
    entries.push_back(std::move(state));
  }
  return testing::makeZip(entries);
}

}  // namespace
}  // namespace tunewright

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tunewright::snapshotConverters();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace tunewright;
  if (size < 1) {
    return 0;
  }
  const std::string payload(reinterpret_cast<const char*>(data + 1), size - 1);
  const FormatId target = kTargets[(data[0] >> 1) & 3];
  upgrade((data[0] & 1) != 0 ? archiveAround(payload) : payload, target);
  return 0;
}
