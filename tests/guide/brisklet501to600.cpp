// A converter written by following docs/ADDING_A_CONVERTER.md, for a Brisklet 0.6 that does
// not exist: it appends one parameter, 0.5, to the eight of 0.5.1. It is built only into the
// guide's test, never into the program.

#include "convert/parameter_map.h"
#include "convert/registry.h"
#include "preset/parameter_editing.h"
#include "preset/preset_image.h"

namespace tunewright {

class Brisklet501To600 final : public Converter {
 public:
  FormatId sourceId() const override { return 2000501; }
  FormatId targetId() const override { return 2000600; }
  const char* sourceName() const override { return "Brisklet v0.5.1"; }
  const char* targetName() const override { return "Brisklet v0.6"; }

  bool accepts(int32_t length, const unsigned char* data) const override {
    return hasCountedLayout(length, data, "Bskl", kOldCount);
  }

  int32_t convert(int32_t, int32_t capacity, unsigned char* data) const override {
    static constexpr int32_t kPositions[] = {kOldCount};
    static constexpr uint32_t kValues[] = {floatToBigEndian(0.5f)};
    return insertIntoImage(data, capacity, kOldCount, kPositions, kValues);
  }

  const ParameterMap& parameterMap() const override { return kMap; }

 private:
  static constexpr int32_t kOldCount = 8;
  static constexpr MovedRange kMoves[] = {{0, 7, 0}};
  static constexpr NewParameter kAdded[] = {{kOldCount, 0.5f}};
  static constexpr ParameterMap kMap = {"Bskl", kOldCount, kOldCount + 1, kMoves, kAdded};
};

namespace {

const ConverterRegistrar<Brisklet501To600> registrar;

}  // namespace

}  // namespace tunewright
