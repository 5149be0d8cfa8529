// Tavlora 0.2 to 0.2.3: a version marker in front, the global parameter moved from the end to
// index 1 and divided by 7, and a new choice in four selector lists of each section.

#include "convert/parameter_map.h"
#include "convert/registry.h"
#include "converters/tavlora_layout.h"
#include "preset/parameter_editing.h"

namespace tunewright {

class Tavlora200To203 final : public Converter {
 public:
  FormatId sourceId() const override { return 1000200; }
  FormatId targetId() const override { return 1000203; }
  const char* sourceName() const override { return "Tavlora v0.2"; }
  const char* targetName() const override { return "Tavlora v0.2.3"; }

  bool accepts(int32_t length, const unsigned char* data) const override {
    return hasCountedLayout(length, data, kTavloraId, kOldCount);
  }

  int32_t convert(int32_t, int32_t capacity, unsigned char* data) const override {
    constexpr int32_t kNewLength = presetLength(kOldCount + 1);
    if (capacity < kNewLength) {
      return -1;
    }
    raiseParameterCounts(data, 1);

    // Dividing in double and rounding once to single precision gives the correctly rounded
    // single-precision quotient.
    unsigned char* global = parameterWord(data, kOldGlobal);
    const double rescaled = static_cast<double>(loadFloat(global)) / 7.0;
    storeFloat(global, static_cast<float>(rescaled));

    static constexpr ChoiceInsertion kSelectors[] = {
        {12, 6, 5}, {14, 6, 5}, {16, 6, 4}, {24, 5, 4}};
    remapSelectors(data, kSelectors, indexV200);

    // The global parameter moves in front of both sections, behind the new marker.
    static constexpr int32_t kRemoved[] = {kOldGlobal};
    static constexpr int32_t kInserted[] = {0, 1};
    const uint32_t values[] = {bigEndian32(kMarkerV203), loadWord(global)};  // raw words
    replaceParameters(kOldCount, data + kParamsOffset, 1, kRemoved, 2, kInserted, values);
    return kNewLength;
  }

  const ParameterMap& parameterMap() const override { return kMap; }

 private:
  static constexpr int32_t kOldCount = 53;
  static constexpr int32_t kOldGlobal = 52;
  static constexpr MovedRange kMoves[] = {{0, 51, 2}, {kOldGlobal, kOldGlobal, 1}};
  static constexpr NewParameter kAdded[] = {{0, kMarkerV203, "version marker"}};
  static constexpr ValueChange kChanges[] = {
      selector(indexV200(12, 0), "section 0, local 12", 6, {}, {5}),
      selector(indexV200(14, 0), "section 0, local 14", 6, {}, {5}),
      selector(indexV200(16, 0), "section 0, local 16", 6, {}, {4}),
      selector(indexV200(24, 0), "section 0, local 24", 5, {}, {4}),
      selector(indexV200(12, 1), "section 1, local 12", 6, {}, {5}),
      selector(indexV200(14, 1), "section 1, local 14", 6, {}, {5}),
      selector(indexV200(16, 1), "section 1, local 16", 6, {}, {4}),
      selector(indexV200(24, 1), "section 1, local 24", 5, {}, {4}),
      dividedBy(kOldGlobal, 7),
  };
  static constexpr ParameterMap kMap = {kTavloraId, kOldCount, kOldCount + 1,
                                        kMoves,     kAdded,    kChanges};
};

namespace {

const ConverterRegistrar<Tavlora200To203> registrar;

}  // namespace

}  // namespace tunewright
