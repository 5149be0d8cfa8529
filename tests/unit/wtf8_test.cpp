// WTF-8, the program's text for Windows names: every sequence of UTF-16 units, paired or not,
// comes back to the very same units.

#include "platform/wtf8.h"

#include <gtest/gtest.h>

#include <string>

namespace tunewright::platform {
namespace {

TEST(Wtf8, EveryNameComesBackToTheSameUnits) {
  struct Case {
    std::u16string units;
    std::string text;
  };
  for (const Case& c : {
           Case{u"plain.fxp", "plain.fxp"}, Case{u"caf\u00e9 \u65e5", "caf\xC3\xA9 \xE6\x97\xA5"},
           Case{u"\U0001F3B9", "\xF0\x9F\x8E\xB9"},  // a pair: one four-byte sequence
           Case{u"\U0001F64F", "\xF0\x9F\x99\x8F"}, Case{u"lone\xD800.fxp", "lone\xED\xA0\x80.fxp"},
           Case{u"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},  // the wrong way round: two
           Case{u"end\xDBFF", "end\xED\xAF\xBF"},
           Case{u"\uFFFF", "\xEF\xBF\xBF"},  // the last of three bytes, no pair
           Case{u"\uFFFF\U00010000", "\xEF\xBF\xBF\xF0\x90\x80\x80"},  // the first pair
           Case{u"\U0010FFFF", "\xF4\x8F\xBF\xBF"},                    // the last pair
           Case{u"\U00040000", "\xF1\x80\x80\x80"},
           Case{u"\u00A0", "\xC2\xA0"},      // the first character of two bytes past C1
           Case{u"\u0800", "\xE0\xA0\x80"},  // the first of three bytes
           Case{u"\xD800\xDBFF", "\xED\xA0\x80\xED\xAF\xBF"},  // two leading halves
           Case{u"\uD7FF\xDC00", "\xED\x9F\xBF\xED\xB0\x80"},  // no half, then a trailing one
           Case{u"\xD800\uE000", "\xED\xA0\x80\xEE\x80\x80"},  // a half, then no half
       }) {
    std::string text;
    toWtf8(std::u16string_view(c.units), text);
    EXPECT_EQ(text, c.text);
    EXPECT_EQ(fromWtf8<char16_t>(text), c.units);
  }
  // A half at the end of the units given pairs with nothing past them.
  std::string cut;
  toWtf8(std::u16string_view(u"\xD800\xDC00", 1), cut);
  EXPECT_EQ(cut, "\xED\xA0\x80");
  // A byte that begins no sequence stands for U+FFFD.
  EXPECT_EQ(fromWtf8<char16_t>("a\xFF"
                               "b\xC0\xAF\x80\xC1\xBF"),
            u"a\uFFFDb\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(fromWtf8<char16_t>("\xE6\x97"
                               "A\xE6"
                               "A\x97\xF0\x90"
                               "A\x80\xF0\x90\x80"
                               "A"),
            u"\uFFFD\uFFFDA\uFFFDA\uFFFD\uFFFD\uFFFDA\uFFFD\uFFFD\uFFFD\uFFFDA");  // cut short
}

}  // namespace
}  // namespace tunewright::platform
