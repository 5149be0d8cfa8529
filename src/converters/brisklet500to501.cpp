// Brisklet 0.5 to 0.5.1: the new version added two parameters, at 2 and at 7, both 1.0 for
// every converted preset; the six old values keep their order.

#include "convert/parameter_map.h"
#include "convert/registry.h"
#include "preset/parameter_editing.h"
#include "preset/preset_image.h"

namespace tunewright {

class Brisklet500To501 final : public Converter {
 public:
  FormatId sourceId() const override { return 2000500; }
  FormatId targetId() const override { return 2000501; }
  const char* sourceName() const override { return "Brisklet v0.5"; }
  const char* targetName() const override { return "Brisklet v0.5.1"; }

  bool accepts(int32_t length, const unsigned char* data) const override {
    return hasCountedLayout(length, data, "Bskl", kOldCount);
  }

  int32_t convert(int32_t, int32_t capacity, unsigned char* data) const override {
    static constexpr int32_t kPositions[] = {2, 7};
    static constexpr uint32_t kValues[] = {floatToBigEndian(1.0f), floatToBigEndian(1.0f)};
    return insertIntoImage(data, capacity, kOldCount, kPositions, kValues);
  }

  const ParameterMap& parameterMap() const override { return kMap; }

 private:
  static constexpr int32_t kOldCount = 6;
  static constexpr MovedRange kMoves[] = {{0, 1, 0}, {2, 5, 3}};
  static constexpr NewParameter kAdded[] = {{2, 1.0f}, {7, 1.0f}};
  static constexpr ParameterMap kMap = {"Bskl", kOldCount, kOldCount + 2, kMoves, kAdded};
};

namespace {

const ConverterRegistrar<Brisklet500To501> registrar;

}  // namespace

}  // namespace tunewright
