// A double's exact decimal digits, rounded and written as "%.*g" writes them.

#include "convert/decimal_text.h"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace tunewright {

namespace {

constexpr uint32_t kLimbBase = 1000000000;  // nine decimal digits a limb

// A whole number in base 10^9, least significant limb first.
class Whole {
 public:
  explicit Whole(uint64_t value) {
    do {
      limbs_.push_back(static_cast<uint32_t>(value % kLimbBase));
      value /= kLimbBase;
    } while (value != 0);
  }

  // Multiplies by factor (below 2^32), which with a limb below 10^9 fits in 64 bits.
  void multiply(uint32_t factor) {
    uint64_t carry = 0;
    for (uint32_t& limb : limbs_) {
      const uint64_t product = uint64_t{limb} * factor + carry;
      limb = static_cast<uint32_t>(product % kLimbBase);
      carry = product / kLimbBase;
    }
    while (carry != 0) {
      limbs_.push_back(static_cast<uint32_t>(carry % kLimbBase));
      carry /= kLimbBase;
    }
  }

  // Multiplies by base to the power count, a few factors at a time.
  void multiply(uint32_t base, int count, int perStep) {
    uint32_t step = 1;
    for (int i = 0; i < perStep; ++i) {
      step *= base;
    }
    for (; count >= perStep; count -= perStep) {
      multiply(step);
    }
    for (; count > 0; --count) {
      multiply(base);
    }
  }

  std::string digits() const {
    std::string text = std::to_string(limbs_.back());
    for (auto limb = limbs_.rbegin() + 1; limb != limbs_.rend(); ++limb) {
      const std::string part = std::to_string(*limb);
      text.append(9 - part.size(), '0');
      text += part;
    }
    return text;
  }

 private:
  std::vector<uint32_t> limbs_;
};

// The significant digits of a positive finite double, with no leading or trailing zeros, and the
// power of ten of the first.
struct Digits {
  std::string digits;
  int exponent = 0;
};

Digits exactDigits(double magnitude) {
  const uint64_t bits = std::bit_cast<uint64_t>(magnitude);
  uint64_t mantissa = bits & ((uint64_t{1} << 52) - 1);
  int power = static_cast<int>(bits >> 52);
  if (power == 0) {
    power = 1;  // subnormal
  } else {
    mantissa |= uint64_t{1} << 52;
  }
  power -= 1075;  // magnitude = mantissa * 2^power
  Whole whole(mantissa);
  int shift = 0;  // magnitude = whole * 10^shift
  if (power > 0) {
    whole.multiply(2, power, 29);
  } else {
    whole.multiply(5, -power, 13);  // 2^-k = 5^k / 10^k
    shift = power;
  }
  Digits result{whole.digits(), 0};
  result.exponent = static_cast<int>(result.digits.size()) - 1 + shift;
  while (result.digits.size() > 1 && result.digits.back() == '0') {
    result.digits.pop_back();
  }
  return result;
}

// To at most precision significant digits, half to even; the value is exact, so a five with
// nothing after it is a true tie.
void round(Digits& number, int precision) {
  const auto keep = static_cast<std::size_t>(precision);
  if (number.digits.size() <= keep) {
    return;
  }
  const std::string& digits = number.digits;
  const char next = digits[keep];
  const bool up = next > '5' ||
                  (next == '5' && (digits.size() > keep + 1 || (digits[keep - 1] - '0') % 2 == 1));
  number.digits.resize(keep);
  if (up) {
    std::size_t at = keep;
    while (at > 0 && number.digits[at - 1] == '9') {
      number.digits[--at] = '0';
    }
    if (at == 0) {
      number.digits.insert(number.digits.begin(), '1');
      number.digits.pop_back();
      ++number.exponent;
    } else {
      ++number.digits[at - 1];
    }
  }
  while (number.digits.size() > 1 && number.digits.back() == '0') {
    number.digits.pop_back();
  }
}

}  // namespace

std::string decimalText(double value, int precision) {
  std::string out = std::signbit(value) ? "-" : "";
  if (value == 0) {
    return out + "0";
  }
  Digits number = exactDigits(std::abs(value));
  round(number, precision);
  const std::string& digits = number.digits;
  const int exponent = number.exponent;
  if (exponent < -4 || exponent >= precision) {
    out += digits.front();
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1);
    }
    out += exponent < 0 ? "e-" : "e+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) {
      out += '0';
    }
    return out + std::to_string(magnitude);
  }
  if (exponent < 0) {
    return out + "0." + std::string(static_cast<std::size_t>(-exponent - 1), '0') + digits;
  }
  const auto whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    return out + digits + std::string(whole - digits.size(), '0');
  }
  return out + digits.substr(0, whole) + "." + digits.substr(whole);
}

}  // namespace tunewright
