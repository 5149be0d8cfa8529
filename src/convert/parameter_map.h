#pragma once

// Where each parameter of a converter's source layout goes in its target layout and how its value
// changes, stated as data beside the converter's recipe; and the same composed over a chain, for
// whatever refers to parameters by index (a host's automation) rather than holding the preset.

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

#include "convert/converter.h"

namespace tunewright {

// The destination of a parameter that has none in the target layout.
inline constexpr int32_t kDropped = -1;

// A run of consecutive source parameters that keep their order: first to last go to to and on,
// or nowhere when to is kDropped.
struct MovedRange {
  int32_t first;
  int32_t last;
  int32_t to;
};

// Ascending positions in a list of choices, a few at most: {5}, {3, 6}.
class ChoicePositions {
 public:
  constexpr ChoicePositions() = default;
  // More than kCapacity positions do not make a constant map.
  constexpr ChoicePositions(std::initializer_list<int32_t> positions) {
    for (const int32_t position : positions) {
      at_[count_++] = position;
    }
  }
  constexpr int32_t count() const { return count_; }
  constexpr const int32_t* data() const { return at_; }

 private:
  static constexpr int32_t kCapacity = 4;
  int32_t count_ = 0;
  int32_t at_[kCapacity] = {};
};

// How the value of one moved parameter changes, by its index in the source layout. A parameter
// no change names keeps its word.
struct ValueChange {
  int32_t index;
  // When above 0: divided as a converter divides, the word as float, to double, divided by this
  // and rounded once to float.
  int32_t divisor = 0;
  // Otherwise a selector, named by label in the plug-in's own terms, carried from its list of
  // numChoices choices onto the list without those at removed (old positions) and with new ones
  // at inserted (new positions), exactly as remapChoiceParameter carries it.
  const char* label = nullptr;
  int32_t numChoices = 0;
  ChoicePositions removed = {};
  ChoicePositions inserted = {};
};

constexpr ValueChange dividedBy(int32_t index, int32_t divisor) {
  return {.index = index, .divisor = divisor};
}

constexpr ValueChange selector(int32_t index, const char* label, int32_t numChoices,
                               ChoicePositions removed, ChoicePositions inserted) {
  return {.index = index,
          .label = label,
          .numChoices = numChoices,
          .removed = removed,
          .inserted = inserted};
}

// A parameter of the target layout that no source parameter moves to, and the word the
// converter writes there: a value, or a word that is none (a version marker) and is named.
struct NewParameter {
  constexpr NewParameter(int32_t at, float value)
      : index(at), bits(std::bit_cast<uint32_t>(value)) {}
  constexpr NewParameter(int32_t at, uint32_t word, const char* name)
      : index(at), bits(word), marker(name) {}

  int32_t index;
  uint32_t bits;                 // the word as a number, as loadBigEndian32 reads it
  const char* marker = nullptr;  // nullptr: the word is a value
};

// A converter's map. Its moves take every source index exactly once, in ascending order; the
// moved and the new parameters fill the target layout, each index once.
struct ParameterMap {
  const char* pluginId = "";  // the four characters of both layouts' fxID
  int32_t sourceCount = 0;
  int32_t targetCount = 0;
  std::span<const MovedRange> moves = {};
  std::span<const NewParameter> added = {};   // ascending target indices
  std::span<const ValueChange> changes = {};  // ascending source indices
};

// The maps of a chain's steps composed, first step first: where a parameter of the first step's
// layout ends up in the last step's, and its value after every step that changes it, computed
// exactly as the chain computes it. A parameter new in one step travels through the steps after
// it, as it does in the preset. The empty chain is the identity and knows no layout: its plug-in
// ID is "", both counts are 0, and every index >= 0 stays where it is.
class ChainMap {
 public:
  ChainMap() = default;
  // The chain's steps link: each one's target layout is the next one's source layout.
  explicit ChainMap(const ConverterList& chain);

  const char* pluginId() const { return pluginId_; }
  int32_t sourceCount() const { return sourceCount_; }
  int32_t targetCount() const { return targetCount_; }

  // The index in the final layout; kDropped when some step drops the parameter, and for an
  // index outside the source layout.
  int32_t destination(int32_t sourceIndex) const;
  // Whether some step changes the parameter's value.
  bool changesValue(int32_t sourceIndex) const;
  // The value as the chain leaves it, every step's change in turn; the value itself when
  // nothing changes it. The preset's word is this float, bit for bit.
  float transform(int32_t sourceIndex, float value) const;
  // The changes of a parameter's value, first step first; empty when it keeps its value.
  std::span<const ValueChange* const> changes(int32_t sourceIndex) const;
  // The parameters of the final layout that no source parameter reaches, in ascending order of
  // index, each with the word it ends up with: a step's new parameter after the steps behind it.
  const std::vector<NewParameter>& added() const { return added_; }

 private:
  struct Parameter {
    int32_t destination;
    std::vector<const ValueChange*> changes;
  };

  const Parameter* parameter(int32_t sourceIndex) const;

  const char* pluginId_ = "";
  int32_t sourceCount_ = 0;
  int32_t targetCount_ = 0;
  bool identity_ = true;
  std::vector<Parameter> parameters_;
  std::vector<NewParameter> added_;
};

}  // namespace tunewright
