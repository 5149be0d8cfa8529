// Carrying a selector's stored value onto a list of choices that gained or lost entries.

#include "preset/choice_remapping.h"

#include <bit>
#include <cassert>
#include <cfenv>

#include "preset/preset_image.h"

namespace tunewright {

namespace {

// The single-precision number nearest to 0.999: a stored 1.0 then selects the last entry
// instead of one past the end.
constexpr float kChoiceScale = std::bit_cast<float>(0x3F7FBE77u);

// Index given to a product that is not a number or does not fit in 32 bits.
constexpr int64_t kInvalidIndex = INT32_MIN;

// Selector values are computed with rounding to nearest; whatever mode the caller has set
// is restored afterwards.
class RoundingToNearest {
 public:
  RoundingToNearest() : saved_(std::fegetround()) {
    if (saved_ != FE_TONEAREST) {
      std::fesetround(FE_TONEAREST);
    }
  }
  ~RoundingToNearest() {
    if (saved_ != FE_TONEAREST) {
      std::fesetround(saved_);
    }
  }
  RoundingToNearest(const RoundingToNearest&) = delete;
  RoundingToNearest& operator=(const RoundingToNearest&) = delete;

 private:
  int saved_;
};

// The old index: the product truncated toward zero. It is formed with the widest significand
// at hand (64 bits on x86), never rounded to single precision on the way: for 6 choices and
// 0.83416748046875 the exact product is 4.99999994..., index 4, where a float product gives 5.
int64_t oldIndex(int32_t numChoices, float value) {
  const long double product =
      static_cast<long double>(numChoices) * static_cast<long double>(value) * kChoiceScale;
  if (!(product > -2147483649.0L && product < 2147483648.0L)) {  // NaN fails both tests
    return kInvalidIndex;
  }
  return static_cast<int64_t>(product);  // truncates toward zero in every rounding mode
}

// remapChoice, for a caller that has set rounding to nearest.
long double remapRoundingToNearest(int32_t numChoices, float value, int32_t removedCount,
                                   const int32_t* removed, int32_t insertedCount,
                                   const int32_t* inserted) {
  const int32_t newCount = numChoices - removedCount + insertedCount;
  assert(newCount >= 1);
  // 64 bits, so that an index near the 32-bit limits cannot overflow when entries are
  // inserted below it; wherever 32 bits suffice the result is the same.
  int64_t index = oldIndex(numChoices, value);
  for (int32_t i = removedCount - 1; i >= 0; --i) {
    if (removed[i] <= index) {
      --index;
    }
  }
  if (index == -1) {
    index = 0;  // the choice had no surviving entry below it: take the first survivor
  }
  for (int32_t j = 0; j < insertedCount && inserted[j] <= index; ++j) {
    ++index;
  }
  // The centre of the entry's band in the new list.
  return (static_cast<long double>(index) + 0.5L) / static_cast<long double>(newCount);
}

}  // namespace

long double remapChoice(int32_t numChoices, float value, int32_t removedCount,
                        const int32_t* removed, int32_t insertedCount, const int32_t* inserted) {
  const RoundingToNearest nearest;
  return remapRoundingToNearest(numChoices, value, removedCount, removed, insertedCount, inserted);
}

void remapChoiceParameter(int32_t numChoices, unsigned char* param, int32_t removedCount,
                          const int32_t* removed, int32_t insertedCount, const int32_t* inserted) {
  const RoundingToNearest nearest;
  const long double remapped = remapRoundingToNearest(numChoices, loadFloat(param), removedCount,
                                                      removed, insertedCount, inserted);
  storeFloat(param, static_cast<float>(remapped));
}

}  // namespace tunewright
