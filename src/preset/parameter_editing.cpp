// In-place insertion, removal and replacement of parameter words.

#include "preset/parameter_editing.h"

#include <cassert>
#include <cstring>

#include "preset/preset_image.h"

namespace tunewright {

namespace {

// Moves length words within the list; the ranges may overlap.
void moveWords(unsigned char* params, int32_t to, int32_t from, int32_t length) {
  if (length > 0) {
    std::memmove(params + kWordSize * to, params + kWordSize * from,
                 static_cast<std::size_t>(kWordSize * length));
  }
}

void copyWords(unsigned char* params, int32_t to, const uint32_t* values, int32_t length) {
  if (length > 0) {
    std::memcpy(params + kWordSize * to, values, static_cast<std::size_t>(kWordSize * length));
  }
}

// Debug check of the callers' promise: n strictly ascending positions in [0, limit).
[[maybe_unused]] bool ascendingBelow(const int32_t* positions, int32_t n, int32_t limit) {
  for (int32_t i = 0; i < n; ++i) {
    if (positions[i] < 0 || positions[i] >= limit || (i > 0 && positions[i - 1] >= positions[i])) {
      return false;
    }
  }
  return true;
}

}  // namespace

int32_t insertParameters(int32_t count, unsigned char* params, int32_t n, const int32_t* positions,
                         const uint32_t* values) {
  assert(count >= 0 && n >= 0 && ascendingBelow(positions, n, count + n));
  const int32_t newCount = count + n;
  // From the back towards the front, so no old word is overwritten before it has moved: each
  // stretch of old words moves once, each run of new values is copied once.
  int32_t pending = n;           // positions[0 .. pending - 1] are still to be placed
  int32_t oldEnd = count;        // old words from here up are already in place
  int32_t finalFrom = newCount;  // indices from here up hold their final words
  while (pending > 0) {
    const int32_t runEnd = positions[pending - 1];
    const int32_t stretch = finalFrom - runEnd - 1;
    moveWords(params, runEnd + 1, oldEnd - stretch, stretch);
    oldEnd -= stretch;
    int32_t runStart = runEnd;
    int32_t first = pending - 1;
    while (first > 0 && positions[first - 1] == runStart - 1) {
      --runStart;
      --first;
    }
    copyWords(params, runStart, values + first, runEnd - runStart + 1);
    finalFrom = runStart;
    pending = first;
  }
  return newCount;
}

int32_t removeParameters(int32_t count, unsigned char* params, int32_t n,
                         const int32_t* positions) {
  assert(count >= 0 && n >= 0 && n <= count && ascendingBelow(positions, n, count));
  if (n == 0) {
    return count;
  }
  const int32_t newCount = count - n;
  // From the front towards the back: each stretch of kept words moves down once.
  int32_t to = positions[0];
  int32_t from = positions[0];
  int32_t passed = 0;  // positions[0 .. passed - 1] lie behind from
  while (to < newCount) {
    do {
      ++from;
      ++passed;
    } while (passed < n && positions[passed] == from);
    const int32_t keptEnd = passed < n ? positions[passed] : count;
    moveWords(params, to, from, keptEnd - from);
    to += keptEnd - from;
    from = keptEnd;
  }
  return newCount;
}

int32_t replaceParameters(int32_t count, unsigned char* params, int32_t removedCount,
                          const int32_t* removed, int32_t insertedCount, const int32_t* inserted,
                          const uint32_t* values) {
  const int32_t kept = removeParameters(count, params, removedCount, removed);
  return insertParameters(kept, params, insertedCount, inserted, values);
}

}  // namespace tunewright
