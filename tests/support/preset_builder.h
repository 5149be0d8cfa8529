#pragma once

// Builds preset images for the tests, the fuzz targets and the benchmarks: the 56-byte header
// with chosen counts, then big-endian parameter words; banks of them; and near misses.

#include <cstdint>
#include <vector>

#include "preset/preset_image.h"

namespace tunewright::testing {

struct Image {
  std::vector<unsigned char> bytes;

  int32_t length() const { return static_cast<int32_t>(bytes.size()); }
  const unsigned char* data() const { return bytes.data(); }
  uint32_t word(int32_t index) const { return loadWord(bytes.data() + kParamsOffset + 4 * index); }
  float param(int32_t index) const { return floatFromBigEndian(word(index)); }
  uint32_t paramBits(int32_t index) const { return bigEndian32(word(index)); }
  int32_t headerCount(int32_t offset) const {
    return static_cast<int32_t>(bigEndian32(loadWord(bytes.data() + offset)));
  }
  void setParam(int32_t index, float value) {
    storeWord(bytes.data() + kParamsOffset + 4 * index, floatToBigEndian(value));
  }
  void setParamBits(int32_t index, uint32_t bits) {
    storeWord(bytes.data() + kParamsOffset + 4 * index, bigEndian32(bits));
  }
};

// An image of count parameters, all 0.0, with matching big-endian counts and the published
// header values elsewhere.
Image makeImage(const char (&fxId)[5], int32_t count);

// A bank of the given programs (version 1, the first program's plug-in ID), as hosts save it.
Image makeBank(const std::vector<Image>& programs);

// A .vstpreset container around a program file or bank, as hosts save one: "Comp" holding the
// wrapper and the content, an empty "Cont", an "Info" chunk of meta data.
Image makeVstPreset(const std::vector<unsigned char>& content);

// Fills the header bytes that no converter may read or write with a pattern.
void scribbleUninterpretedHeader(Image& image);

// Whether the header bytes no converter may change are the same in both images: the scribbled
// ones and, though a converter reads it, the plug-in ID.
bool sameUninterpretedHeader(const Image& a, const Image& b);

// A copy of a program image that differs from it in one way a reader must notice.
struct NearMiss {
  const char* what;
  Image image;
};

enum class Misses {
  kLayout,  // what a layout's own accept test refuses: the length, the plug-in ID, the counts
  kFile,    // those, and the program file's two magics, which recognition checks first
};

// The near misses of program; one that would equal it (a zero count stored either way) is left
// out.
std::vector<NearMiss> nearMisses(const Image& program, Misses misses);

}  // namespace tunewright::testing
