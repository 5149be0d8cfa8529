#pragma once

// One road for every preset file. A program file (.fxp) is one program record; a bank (.fxb) is
// a header followed by program records. Recognition, the chain and the converters are the same
// for both: only where the records lie differs.

#include <array>
#include <cstdint>

#include "convert/converter.h"

namespace tunewright {

// The largest image taken: a bigger file is not recognised, and a converted bank must fit too.
inline constexpr int32_t kImageCapacity = 1 << 20;

// A buffer for one image, with one byte more than any image may have, so that reading a file
// into it tells a file that is too big.
using ImageBuffer = std::array<unsigned char, kImageCapacity + 1>;

struct Recognition {
  const Converter* source = nullptr;  // admits every program of the image; nullptr: unrecognised
  bool isBank = false;
};

// Recognises an image as a program file or as a bank whose programs are all of one source
// format. A byteSize of 0, in the file or in a record, means "not filled in": once the image is
// recognised it is filled in place, so that the converters and the output see the true value.
// An image that is not recognised is left untouched.
Recognition recogniseImage(int32_t length, unsigned char* data);

// Told about each step of a chain as it runs over a whole image.
class StepObserver {
 public:
  virtual void stepStarting(const Converter& step) = 0;
  virtual void stepFinished(int32_t length, const unsigned char* image) = 0;

 protected:
  StepObserver() = default;
  StepObserver(const StepObserver&) = default;
  StepObserver& operator=(const StepObserver&) = default;
  ~StepObserver() = default;
};

enum class UpgradeOutcome {
  kUpgraded,
  kInputMismatch,  // a step does not accept what the step before it left
  kFailed,         // a step failed, or the result would not fit kImageCapacity
};

// Runs the chain, step by step, over every program of an image that recogniseImage admitted.
// spare is work space. On kUpgraded, image holds the result and length its size; otherwise
// both buffers hold unspecified bytes. A bank's byteSize becomes its new length less 8; every
// other byte of its header and every program name stay as they were.
UpgradeOutcome upgradeImage(const ConverterList& chain, const Recognition& recognition,
                            int32_t& length, ImageBuffer& image, ImageBuffer& spare,
                            StepObserver* observer);

}  // namespace tunewright
