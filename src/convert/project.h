#pragma once

// A project (.dawproject): a ZIP archive whose project.xml names its devices. Every VST 2 device
// of a plug-in some converter knows has its state (a program file or bank in the archive)
// upgraded along the road of every preset file, and its parameters and their automation moved
// by the map of the chain that ran; the new archive is planned as pieces of the old one and new
// bytes, whole or not at all. The upgrade does no I/O: it asks for ranges of the archive and is
// given them, so that the program (reading an open file) and the page (slicing a File) drive
// the same code, and audio is never read.

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "convert/converter.h"
#include "convert/upgrade.h"
#include "convert/zip_archive.h"

namespace tunewright {

// The most project.xml may inflate to: one that says it is larger is refused unread, and one
// that turns out larger is stopped there.
inline constexpr uint64_t kProjectXmlLimit = uint64_t{64} << 20;

// A device of a plug-in some converter knows, as the upgrade went over it.
struct ProjectDevice {
  std::string name;       // its name, else its deviceName
  std::string statePath;  // its State's path; "" when it has none
  ConverterList steps;    // the chain its state went through; empty when left as it was
};

// Told about each device's state as the upgrade takes it, and, as the road tells anyone, about
// its chain and steps.
class ProjectObserver : public StepObserver {
 public:
  // The state as the archive holds it, inflated, before the road takes it.
  virtual void stateLoaded(const ProjectDevice& device, std::span<const unsigned char> state) = 0;
  // The state as it will be written, once its chain ran.
  virtual void stateUpgraded(const ProjectDevice& device, std::span<const unsigned char> state) = 0;

 protected:
  ProjectObserver() = default;
  ProjectObserver(const ProjectObserver&) = default;
  ProjectObserver& operator=(const ProjectObserver&) = default;
  ~ProjectObserver() = default;
};

class ProjectUpgrade {
 public:
  // Upgrades the devices to target (0 or less: the newest format of each plug-in); a device of
  // another plug-in than target's is left as it is. observer may be null.
  ProjectUpgrade(uint64_t archiveSize, FormatId target, ProjectObserver* observer);
  ~ProjectUpgrade();
  ProjectUpgrade(const ProjectUpgrade&) = delete;
  ProjectUpgrade& operator=(const ProjectUpgrade&) = delete;

  // The next range of the archive to read, or none once the upgrade is finished. A range is a
  // few MiB at most, but for project.xml's compressed data.
  std::optional<ByteRange> need() const;
  // Room for the range needed, for a caller that reads into the upgrade's own memory.
  std::span<unsigned char> buffer();
  // The bytes of the range needed (in buffer() or anywhere), fewer when the archive ended.
  void supply(std::span<const unsigned char> bytes);

  // Once finished: kUpgraded with a plan, kAlreadyCurrent when no device needs an upgrade, or
  // why the project is left as it is.
  UpgradeOutcome outcome() const;
  // The devices of known plug-ins, in document order, as far as the upgrade went.
  const std::vector<ProjectDevice>& devices() const;
  // The device the outcome is about, or nullptr when it is about the whole project.
  const ProjectDevice* refusedDevice() const;
  // The format the first device upgraded reached, in document order (its version code names
  // the output); 0 unless the outcome is kUpgraded.
  FormatId firstFormat() const;
  // The upgraded archive: each piece a range of the original, or of newBytes().
  const std::vector<OutputPiece>& pieces() const;
  std::span<const unsigned char> newBytes() const;

 private:
  struct Work;
  std::unique_ptr<Work> work_;
};

}  // namespace tunewright
