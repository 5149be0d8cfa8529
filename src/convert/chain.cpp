// The sorted snapshot of the converters and the search for a chain between formats.

#include "convert/chain.h"

#include <algorithm>

#include "convert/registry.h"

namespace tunewright {

ConverterList sortedConverters;

namespace {

constexpr FormatId kLatest = -1;

// Whether candidate may extend chain: in latest mode only forward steps; otherwise only steps
// that do not return to a format the chain has already passed through.
bool canAppend(bool latestMode, const ConverterList& chain, const Converter* candidate) {
  if (latestMode) {
    return candidate->sourceId() < candidate->targetId();
  }
  return std::none_of(chain.begin(), chain.end(), [candidate](const Converter* step) {
    return step->sourceId() == candidate->targetId();
  });
}

// The depth-limited step of buildChain; target is exactly kLatest in latest mode.
bool searchChain(FormatId from, FormatId target, ConverterList& chain, int32_t depth,
                 int32_t limit) {
  if (from == target) {
    return true;
  }
  if (depth == limit) {
    return target == kLatest;
  }
  for (const Converter* candidate : sortedConverters) {
    if (candidate->sourceId() != from || !canAppend(target == kLatest, chain, candidate)) {
      continue;
    }
    chain.push_back(candidate);
    if (searchChain(candidate->targetId(), target, chain, depth + 1, limit)) {
      return true;
    }
    chain.pop_back();
  }
  return target == kLatest;
}

}  // namespace

bool converterLess(const Converter* a, const Converter* b) {
  if (a->sourceId() != b->sourceId()) {
    return a->sourceId() < b->sourceId();
  }
  return a->targetId() < b->targetId();
}

void snapshotConverters() {
  copyConverterRegistry(sortedConverters);
  std::sort(sortedConverters.begin(), sortedConverters.end(), converterLess);
}

bool isKnownTarget(FormatId id) {
  return std::any_of(sortedConverters.begin(), sortedConverters.end(),
                     [id](const Converter* c) { return c->targetId() == id; });
}

bool buildChain(FormatId source, FormatId target, ConverterList& chain) {
  const auto converterCount = static_cast<int32_t>(sortedConverters.size());
  if (target <= 0) {
    return searchChain(source, kLatest, chain, 0, converterCount);
  }
  // Iterative deepening: the first pass that succeeds yields a shortest chain.
  for (int32_t limit = 0; limit <= converterCount; ++limit) {
    if (searchChain(source, target, chain, 0, limit)) {
      return true;
    }
  }
  return false;
}

}  // namespace tunewright
