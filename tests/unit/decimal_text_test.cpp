// A double written with some significant digits: exactly as printf's "%.*g" writes it.

#include "convert/decimal_text.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <random>
#include <string>

namespace tunewright {
namespace {

TEST(DecimalText, RoundsTheExactValueHalfToEvenAndWritesItAsPrintfDoes) {
  struct Case {
    double value;
    int precision;
    const char* text;
  };
  for (const Case& c :
       {Case{0.0, 3, "0"}, Case{-0.0, 3, "-0"}, Case{0.125, 2, "0.12"}, Case{0.375, 2, "0.38"},
        Case{2.5, 1, "2"}, Case{9.96, 2, "10"}, Case{123456.0, 3, "1.23e+05"},
        Case{0.0001, 1, "0.0001"}, Case{0.00001, 1, "1e-05"}, Case{0.1, 17, "0.10000000000000001"},
        Case{5e-324, 2, "4.9e-324"}, Case{1e300, 1, "1e+300"}}) {
    EXPECT_EQ(decimalText(c.value, c.precision), c.text) << c.value << " " << c.precision;
  }
}

// The library's own writing of the same, for every precision and values of every kind: doubles
// of every exponent, floats, and values of a parameter's scale.
TEST(DecimalText, WritesWhatTheLibraryWritesForAnyDouble) {
  std::mt19937_64 random(20261210);
  for (int n = 0; n < 5000; ++n) {
    double value = std::bit_cast<double>(random());
    if (n % 3 == 1) {
      value = static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(random())));
    } else if (n % 3 == 2) {
      value = -100.0 + 200.0 * static_cast<double>(random() >> 11) / 9007199254740992.0;
    }
    if (!std::isfinite(value)) {
      continue;
    }
    for (int precision = 1; precision <= 17; ++precision) {
      char text[64];
      const char* end =
          std::to_chars(text, text + sizeof text, value, std::chars_format::general, precision).ptr;
      ASSERT_EQ(decimalText(value, precision),
                std::string(text, static_cast<std::size_t>(end - text)))
          << precision;
    }
  }
}

}  // namespace
}  // namespace tunewright
