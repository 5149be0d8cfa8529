// Tavlora 0.1.2 to 0.2: each section gained a parameter at local index 10, and a global
// parameter was added at the end. New values: 0.0, 0.0 and 2.0.

#include "convert/parameter_map.h"
#include "convert/registry.h"
#include "converters/tavlora_layout.h"
#include "preset/parameter_editing.h"

namespace tunewright {

class Tavlora102To200 final : public Converter {
 public:
  FormatId sourceId() const override { return 1000102; }
  FormatId targetId() const override { return 1000200; }
  const char* sourceName() const override { return "Tavlora v0.1.2"; }
  const char* targetName() const override { return "Tavlora v0.2"; }

  bool accepts(int32_t length, const unsigned char* data) const override {
    return hasCountedLayout(length, data, kTavloraId, kOldCount);
  }

  int32_t convert(int32_t, int32_t capacity, unsigned char* data) const override {
    static constexpr int32_t kPositions[] = {indexV200(10, 0), indexV200(10, 1), 52};
    static constexpr uint32_t kValues[] = {floatToBigEndian(0.0f), floatToBigEndian(0.0f),
                                           floatToBigEndian(2.0f)};
    return insertIntoImage(data, capacity, kOldCount, kPositions, kValues);
  }

  const ParameterMap& parameterMap() const override { return kMap; }

 private:
  static constexpr int32_t kOldCount = 50;
  static constexpr MovedRange kMoves[] = {{0, 9, 0}, {10, 34, 11}, {35, 49, 37}};
  static constexpr NewParameter kAdded[] = {
      {indexV200(10, 0), 0.0f}, {indexV200(10, 1), 0.0f}, {52, 2.0f}};
  static constexpr ParameterMap kMap = {kTavloraId, kOldCount, kOldCount + 3, kMoves, kAdded};
};

namespace {

const ConverterRegistrar<Tavlora102To200> registrar;

}  // namespace

}  // namespace tunewright
