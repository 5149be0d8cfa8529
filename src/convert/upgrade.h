#pragma once

// One road for every preset file. A program file (.fxp) is one program record; a bank (.fxb) is
// a header followed by program records; a container a host saves presets in (.vstpreset) holds
// one program or bank among chunks of its own. Recognition, the chain and the converters are the
// same for all of them: only where the records lie differs.

#include <array>
#include <cstdint>

#include "convert/converter.h"

namespace tunewright {

// The largest image taken: a bigger file is not recognised, and a converted bank must fit too.
inline constexpr int32_t kImageCapacity = 1 << 20;

// A buffer for one image, with one byte more than any image may have, so that reading a file
// into it tells a file that is too big.
using ImageBuffer = std::array<unsigned char, kImageCapacity + 1>;

// What an image is, and so where its program records lie. Each kind has a file of its own
// (image_kinds.h); recogniseImage and the step over a whole image turn to it, and everything
// after that is the same for every kind.
enum class ImageKind : int32_t {
  kProgram,    // a program file: one record (program.cpp)
  kBank,       // a bank header followed by records (bank.cpp)
  kVstPreset,  // a host's preset container around a program file or a bank (vst_preset.cpp)
};

struct Recognition {
  const Converter* source = nullptr;  // admits every program of the image; nullptr: unrecognised
  ImageKind kind = ImageKind::kProgram;
  // What holds the programs: a program file or a bank, the image itself or what its container
  // holds.
  ImageKind content = ImageKind::kProgram;
};

// Recognises an image as a program file, as a bank whose programs are all of one source format,
// or as a container holding one of those. A byteSize of 0, in a program file or in a record,
// means "not filled in": once the image is recognised it is filled in place, so that the
// converters and the output see the true value. An image that is not recognised is left
// untouched.
Recognition recogniseImage(int32_t length, unsigned char* data);

// Told about a chain as it runs over a whole image: once before its first step, then each step.
class StepObserver {
 public:
  virtual void chainStarting() = 0;
  virtual void stepStarting(const Converter& step) = 0;
  virtual void stepFinished(int32_t length, const unsigned char* image) = 0;

 protected:
  StepObserver() = default;
  StepObserver(const StepObserver&) = default;
  StepObserver& operator=(const StepObserver&) = default;
  ~StepObserver() = default;
};

// What became of an image on its way to the format asked for; outcomeWords gives the words.
enum class UpgradeOutcome : int32_t {
  kUpgraded,
  kAlreadyCurrent,  // already in the format asked for
  kUnrecognised,
  kNoChain,        // the format asked for cannot be reached from this one
  kInputMismatch,  // a step does not accept what the step before it left
  kFailed,         // a step failed, or the result would not fit kImageCapacity (or a
                   // project's archive would need ZIP64 numbers it has no room for)
  // A project's (project.h), which is left as it is:
  kArchiveDamaged,       // its archive's parts disagree, overlap, end early or fail their CRC
  kArchiveUnsupported,   // what it must read is encrypted, neither stored nor deflated, on
                         // several disks, or larger than the upgrade reads
  kProjectMalformed,     // project.xml is not well-formed, or an ID it refers by is not unique
  kStateMissing,         // a device's state is outside the archive or missing from it
  kStateMismatch,        // a device's state is another plug-in's, or shared with another's
  kParameterNotCarried,  // a device's parameter is outside its layout, dropped, or holds a
                         // value the chain changes that is no real number
  kCount,                // not an outcome: how many there are, so a new one goes before it
};

inline constexpr int32_t kUpgradeOutcomeCount = static_cast<int32_t>(UpgradeOutcome::kCount);

// An outcome in the program's words: the error line it is reported with.
struct OutcomeWords {
  int32_t severity;     // 0: not an error
  const char* message;  // the words before the path; "" when not an error
};

const OutcomeWords& outcomeWords(UpgradeOutcome outcome);

// What the road made of one image.
struct Conversion {
  UpgradeOutcome outcome = UpgradeOutcome::kUnrecognised;
  Recognition recognition;
  int32_t length = 0;  // of the result in image; 0 unless upgraded
};

// The one road for every image, the file job's and the page's: recognises the length bytes in
// image, plans the chain to target (0 or less: the newest format) into chain, and runs it with
// spare as work space, telling observer (which may be null) about it. chain is passed in so that
// its room serves one image after another; it ends up empty unless a chain was found, and then
// holds its steps, first to last, every one of which ran when the outcome is kUpgraded.
// Upgraded, image holds the result; otherwise both buffers hold unspecified bytes. A bank's
// byteSize becomes its new length less 8; every other byte of its header and every program name
// stay as they were. A container keeps every byte but the numbers that say where its chunks lie
// and how long the one holding the programs is.
Conversion recogniseAndUpgrade(int32_t length, FormatId target, ImageBuffer& image,
                               ImageBuffer& spare, ConverterList& chain, StepObserver* observer);

}  // namespace tunewright
