// The parameter maps in words, and the converter list they are printed under.

#include "convert/map_text.h"

#include <bit>
#include <charconv>
#include <span>
#include <string_view>

#include "convert/chain.h"

namespace tunewright {

namespace {

void appendNumber(std::string& text, int32_t number) {
  char digits[12];
  const auto end = std::to_chars(digits, digits + sizeof digits, number).ptr;
  text.append(digits, end);
}

// "a" or "a-b".
void appendRange(std::string& text, int32_t first, int32_t last) {
  appendNumber(text, first);
  if (last != first) {
    text += '-';
    appendNumber(text, last);
  }
}

// The shortest decimal that reads back as the value, with ".0" on a whole number: "2.0",
// "0.2857143".
void appendValue(std::string& text, float value) {
  char digits[32];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  const std::string_view written(digits, static_cast<std::size_t>(end - digits));
  text += written;
  if (written.find_first_not_of("-0123456789") == std::string_view::npos) {
    text += ".0";
  }
}

// A word that is no value, as eight hexadecimal digits: "0x3F0000CB".
void appendWord(std::string& text, uint32_t word) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  text += "0x";
  for (int32_t shift = 28; shift >= 0; shift -= 4) {
    text += kDigits[(word >> shift) & 0xF];
  }
}

std::span<const int32_t> positionsOf(const ChoicePositions& positions) {
  return {positions.data(), static_cast<std::size_t>(positions.count())};
}

// "3", "3 and 6", "1, 3 and 6".
void appendList(std::string& text, std::span<const int32_t> numbers) {
  for (std::size_t i = 0; i < numbers.size(); ++i) {
    if (i > 0) {
      text += i + 1 == numbers.size() ? " and " : ", ";
    }
    appendNumber(text, numbers[i]);
  }
}

// "6 choices to 7, choice 2 removed, a new choice at 5".
void appendChoices(std::string& text, int32_t numChoices, std::span<const int32_t> removed,
                   std::span<const int32_t> inserted) {
  appendNumber(text, numChoices);
  text += " choices to ";
  appendNumber(text, numChoices - static_cast<int32_t>(removed.size() - inserted.size()));
  if (!removed.empty()) {
    text += removed.size() == 1 ? ", choice " : ", choices ";
    appendList(text, removed);
    text += " removed";
  }
  if (!inserted.empty()) {
    text += inserted.size() == 1 ? ", a new choice at " : ", new choices at ";
    appendList(text, inserted);
  }
}

void appendChange(std::string& text, const ValueChange& change) {
  if (change.divisor > 0) {
    text += "divided by ";
    appendNumber(text, change.divisor);
  } else {
    appendChoices(text, change.numChoices, positionsOf(change.removed),
                  positionsOf(change.inserted));
  }
}

// A selector's changes that only add choices, each to the list the one before left, say as one
// where the new choices end up: every value of 0..1 selects the same choice either way, and
// lands in the middle of its band. Otherwise (a choice removed) each change is said in turn.
bool appendInsertionsAsOne(std::string& text, std::span<const ValueChange* const> changes) {
  // The list as it grows: '.' for a choice of the first list, '+' for a new one.
  std::string list(static_cast<std::size_t>(changes.front()->numChoices), '.');
  for (const ValueChange* change : changes) {
    if (change->divisor > 0 || change->removed.count() > 0 ||
        change->numChoices != static_cast<int32_t>(list.size())) {
      return false;
    }
    for (const int32_t at : positionsOf(change->inserted)) {
      if (at < 0 || at > static_cast<int32_t>(list.size())) {
        return false;
      }
      list.insert(static_cast<std::size_t>(at), 1, '+');
    }
  }
  std::vector<int32_t> inserted;
  for (std::size_t at = list.find('+'); at != std::string::npos; at = list.find('+', at + 1)) {
    inserted.push_back(static_cast<int32_t>(at));
  }
  appendChoices(text, changes.front()->numChoices, {}, inserted);
  return true;
}

std::string movesLine(const ChainMap& map) {
  std::string line;
  for (int32_t first = 0; first < map.sourceCount();) {
    const int32_t to = map.destination(first);
    int32_t last = first;
    while (last + 1 < map.sourceCount() &&
           map.destination(last + 1) == (to == kDropped ? kDropped : to + (last + 1 - first))) {
      ++last;
    }
    if (!line.empty()) {
      line += ", ";
    }
    appendRange(line, first, last);
    if (to == kDropped) {
      line += " dropped";
    } else {
      line += " -> ";
      appendRange(line, to, to + (last - first));
    }
    first = last + 1;
  }
  return line;
}

std::string addedLine(const ChainMap& map) {
  std::string line = "new ";
  for (const NewParameter& added : map.added()) {
    if (&added != &map.added().front()) {
      line += ", ";
    }
    appendNumber(line, added.index);
    line += " = ";
    if (added.marker == nullptr) {
      appendValue(line, std::bit_cast<float>(added.bits));
    } else {
      appendWord(line, added.bits);
      (line += " (") += added.marker;
      line += ')';
    }
  }
  return line;
}

// A moved parameter whose value changes: named as a selector when its first change is one.
std::string changeLine(const ChainMap& map, int32_t source) {
  const std::span<const ValueChange* const> changes = map.changes(source);
  const ValueChange& first = *changes.front();
  std::string line = first.divisor > 0 ? "" : "selector ";
  appendNumber(line, source);
  if (map.destination(source) != source) {
    line += " -> ";
    appendNumber(line, map.destination(source));
  }
  if (first.divisor > 0) {
    line += ", ";
  } else {
    (line += " (") += first.label;
    line += "): ";
    if (appendInsertionsAsOne(line, changes)) {
      return line;
    }
  }
  for (const ValueChange* change : changes) {
    if (change != &first) {
      line += "; then ";
    }
    appendChange(line, *change);
  }
  return line;
}

// "Tavlora v0.2 (1000200) -> Tavlora v0.2.3 (1000203)", from the first step's source to the
// last step's target.
std::string conversionLine(const Converter& first, const Converter& last) {
  std::string line = first.sourceName();
  line += " (";
  appendNumber(line, first.sourceId());
  (line += ") -> ") += last.targetName();
  line += " (";
  appendNumber(line, last.targetId());
  line += ')';
  return line;
}

void appendIndented(std::vector<std::string>& lines, const ChainMap& map) {
  for (const std::string& line : describeMap(map)) {
    lines.push_back(std::string("  ").append(line));
  }
}

}  // namespace

std::vector<std::string> describeMap(const ChainMap& map) {
  std::vector<std::string> lines;
  if (map.sourceCount() > 0) {
    lines.push_back(movesLine(map));
  }
  if (!map.added().empty()) {
    lines.push_back(addedLine(map));
  }
  for (int32_t source = 0; source < map.sourceCount(); ++source) {
    if (map.destination(source) != kDropped && map.changesValue(source)) {
      lines.push_back(changeLine(map, source));
    }
  }
  return lines;
}

std::vector<std::string> converterListLines(bool withMaps, FormatId target) {
  std::vector<std::string> lines;
  for (const Converter* converter : sortedConverters) {
    lines.push_back(conversionLine(*converter, *converter));
    if (withMaps) {
      appendIndented(lines, ChainMap({converter}));
    }
  }
  if (!withMaps) {
    return lines;
  }
  // What a host's project of an older version needs at once, composed: new parameters of an
  // early step move in later ones, and a selector may change twice.
  const Converter* previous = nullptr;
  for (const Converter* converter : sortedConverters) {
    // The snapshot is sorted by source: one chain for each.
    const bool sameSource = previous != nullptr && previous->sourceId() == converter->sourceId();
    previous = converter;
    ConverterList chain;
    if (sameSource || !buildChain(converter->sourceId(), target, chain) || chain.size() < 2) {
      continue;
    }
    std::string line = conversionLine(*chain.front(), *chain.back());
    line += ", in ";
    appendNumber(line, static_cast<int32_t>(chain.size()));
    lines.push_back(line.append(" steps"));
    appendIndented(lines, ChainMap(chain));
  }
  return lines;
}

}  // namespace tunewright
