// Tavlora 0.2.3 to 0.2.5: a new marker and a new choice in three selector lists of each
// section. The length and the header counts stay as they are.

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
};

namespace {

const ConverterRegistrar<Tavlora203To205> registrar;

}  // namespace

}  // namespace tunewright
