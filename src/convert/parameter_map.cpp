// The composition of a chain's parameter maps, and a value carried through it.

#include "convert/parameter_map.h"

#include <algorithm>
#include <utility>

#include "preset/choice_remapping.h"
#include "preset/preset_image.h"

namespace tunewright {

namespace {

// Where a step takes one of its source indices; kDropped when its moves take it nowhere.
int32_t movedTo(const ParameterMap& map, int32_t index) {
  for (const MovedRange& range : map.moves) {
    if (index >= range.first && index <= range.last) {
      return range.to == kDropped ? kDropped : range.to + (index - range.first);
    }
  }
  return kDropped;
}

const ValueChange* changeOf(const ParameterMap& map, int32_t index) {
  for (const ValueChange& change : map.changes) {
    if (change.index == index) {
      return &change;
    }
  }
  return nullptr;
}

// One step's change of a word, through the routines a converter's recipe uses, on a parameter
// word of its own.
uint32_t applyChange(const ValueChange& change, uint32_t bits) {
  unsigned char word[kWordSize];
  storeBigEndian32(word, 0, bits);
  if (change.divisor > 0) {
    storeFloat(word, static_cast<float>(static_cast<double>(loadFloat(word)) /
                                        static_cast<double>(change.divisor)));
  } else {
    remapChoiceParameter(change.numChoices, word, change.removed.count(), change.removed.data(),
                         change.inserted.count(), change.inserted.data());
  }
  return loadBigEndian32(word, 0);
}

}  // namespace

ChainMap::ChainMap(const ConverterList& chain) {
  if (chain.empty()) {
    return;
  }
  identity_ = false;
  const ParameterMap& first = chain.front()->parameterMap();
  pluginId_ = first.pluginId;
  sourceCount_ = first.sourceCount;
  targetCount_ = chain.back()->parameterMap().targetCount;
  // Where each parameter stands after the steps so far.
  std::vector<int32_t> at(static_cast<std::size_t>(std::max(sourceCount_, 0)));
  for (int32_t index = 0; index < sourceCount_; ++index) {
    at[static_cast<std::size_t>(index)] = index;
    parameters_.push_back({index, {}});
  }
  for (const Converter* step : chain) {
    const ParameterMap& map = step->parameterMap();
    for (std::size_t i = 0; i < at.size(); ++i) {
      if (at[i] != kDropped) {
        if (const ValueChange* change = changeOf(map, at[i])) {
          parameters_[i].changes.push_back(change);
        }
        at[i] = movedTo(map, at[i]);
      }
    }
    // The new parameters of the steps before, as this step takes them; then its own.
    std::vector<NewParameter> carried;
    for (NewParameter added : added_) {
      if (const ValueChange* change = changeOf(map, added.index)) {
        added.bits = applyChange(*change, added.bits);
      }
      added.index = movedTo(map, added.index);
      if (added.index != kDropped) {
        carried.push_back(added);
      }
    }
    for (const NewParameter& added : map.added) {
      carried.push_back(added);
    }
    added_ = std::move(carried);
  }
  for (std::size_t i = 0; i < at.size(); ++i) {
    parameters_[i].destination = at[i];
  }
  // In order of index, looked for index by index: there are few.
  std::vector<NewParameter> ordered;
  for (int32_t index = 0; index < targetCount_; ++index) {
    for (const NewParameter& added : added_) {
      if (added.index == index) {
        ordered.push_back(added);
      }
    }
  }
  added_ = std::move(ordered);
}

const ChainMap::Parameter* ChainMap::parameter(int32_t sourceIndex) const {
  if (sourceIndex < 0 || sourceIndex >= static_cast<int32_t>(parameters_.size())) {
    return nullptr;
  }
  return &parameters_[static_cast<std::size_t>(sourceIndex)];
}

int32_t ChainMap::destination(int32_t sourceIndex) const {
  if (identity_) {
    return sourceIndex >= 0 ? sourceIndex : kDropped;
  }
  const Parameter* found = parameter(sourceIndex);
  return found == nullptr ? kDropped : found->destination;
}

bool ChainMap::changesValue(int32_t sourceIndex) const {
  return !changes(sourceIndex).empty();
}

float ChainMap::transform(int32_t sourceIndex, float value) const {
  auto bits = std::bit_cast<uint32_t>(value);
  for (const ValueChange* change : changes(sourceIndex)) {
    bits = applyChange(*change, bits);
  }
  return std::bit_cast<float>(bits);
}

std::span<const ValueChange* const> ChainMap::changes(int32_t sourceIndex) const {
  const Parameter* found = parameter(sourceIndex);
  if (found == nullptr) {
    return {};
  }
  return found->changes;
}

}  // namespace tunewright
