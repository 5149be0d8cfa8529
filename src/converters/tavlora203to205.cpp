// Tavlora 0.2.3 to 0.2.5: a new marker and a new choice in three selector lists of each
// section. The length and the header counts stay as they are.

#include "convert/parameter_map.h"
#include "convert/registry.h"
#include "converters/tavlora_layout.h"

namespace tunewright {

class Tavlora203To205 final : public Converter {
 public:
  FormatId sourceId() const override { return 1000203; }
  FormatId targetId() const override { return 1000205; }
  const char* sourceName() const override { return "Tavlora v0.2.3"; }
  const char* targetName() const override { return "Tavlora v0.2.5"; }

  // The counts are not looked at: the marker alone tells the layout.
  bool accepts(int32_t length, const unsigned char* data) const override {
    return length == presetLength(54) && hasPluginId(data, kTavloraId) &&
           markerIs(data, kMarkerV203);
  }

  // Never fails: nothing grows, so the capacity does not matter.
  int32_t convert(int32_t length, int32_t, unsigned char* data) const override {
    storeBigEndian32(data, kParamsOffset, kMarkerV205);
    static constexpr ChoiceInsertion kSelectors[] = {{12, 7, 3}, {14, 7, 3}, {16, 7, 6}};
    remapSelectors(data, kSelectors, indexV203);
    return length;
  }

  const ParameterMap& parameterMap() const override { return kMap; }

 private:
  // The marker is not carried over but written anew: the old one means nothing in the new
  // layout, and a host that drove it would only unmake the preset's recognition.
  static constexpr MovedRange kMoves[] = {{0, 0, kDropped}, {1, 53, 1}};
  static constexpr NewParameter kAdded[] = {{0, kMarkerV205, "version marker"}};
  static constexpr ValueChange kChanges[] = {
      selector(indexV203(12, 0), "section 0, local 12", 7, {}, {3}),
      selector(indexV203(14, 0), "section 0, local 14", 7, {}, {3}),
      selector(indexV203(16, 0), "section 0, local 16", 7, {}, {6}),
      selector(indexV203(12, 1), "section 1, local 12", 7, {}, {3}),
      selector(indexV203(14, 1), "section 1, local 14", 7, {}, {3}),
      selector(indexV203(16, 1), "section 1, local 16", 7, {}, {6}),
  };
  static constexpr ParameterMap kMap = {kTavloraId, 54, 54, kMoves, kAdded, kChanges};
};

namespace {

const ConverterRegistrar<Tavlora203To205> registrar;

}  // namespace

}  // namespace tunewright
