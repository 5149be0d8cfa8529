#pragma once

// What the Tavlora converters share. Every Tavlora layout holds two sections of the same
// structure; a parameter inside a section is named by its local index (0 to 25, in the 0.2
// numbering), and these functions give its position in a version's parameter list.

#include <cstdint>

#include "preset/choice_remapping.h"
#include "preset/preset_image.h"

namespace tunewright {

// Position of a local index of section 0 or 1 in the 0.2 layout.
constexpr int32_t indexV200(int32_t index, int32_t section) {
  return index + 26 * section;
}

// Position in the 0.2.3 and 0.2.5 layouts, behind the version marker and the global parameter.
constexpr int32_t indexV203(int32_t index, int32_t section) {
  return index + 26 * section + 2;
}

inline constexpr char kTavloraId[5] = "Tvla";

// Parameter 0 of the 0.2.3 and 0.2.5 layouts; the last byte is the version code. It is what
// tells the two layouts, equal in length and header, apart.
inline constexpr uint32_t kMarkerV203 = 0x3F0000CB;
inline constexpr uint32_t kMarkerV205 = 0x3F0000CD;

// One selector whose list of choices gained an entry.
struct ChoiceInsertion {
  int32_t localIndex;
  int32_t numChoices;  // in the old version
  int32_t insertedAt;  // index of the new choice in the new list
};

// Carries the selectors of both sections, section 0 first, onto their longer lists.
template <std::size_t N>
void remapSelectors(unsigned char* data, const ChoiceInsertion (&selectors)[N],
                    int32_t (*position)(int32_t index, int32_t section)) {
  for (int32_t section = 0; section < 2; ++section) {
    for (const ChoiceInsertion& selector : selectors) {
      remapChoiceParameter(selector.numChoices,
                           parameterWord(data, position(selector.localIndex, section)), 0, nullptr,
                           1, &selector.insertedAt);
    }
  }
}

}  // namespace tunewright
