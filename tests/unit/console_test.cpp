// Console lines, error lines and the byte dump.

#include "app/console.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "test_support.h"

namespace tunewright {
namespace {

std::string dump(const std::vector<unsigned char>& bytes) {
  return testing::capture([&] { dumpBytes(static_cast<int32_t>(bytes.size()), bytes.data()); }).out;
}

TEST(DumpBytes, GroupsOfFourSixteenALineWithTheRunningCount) {
  const std::vector<unsigned char> bytes = {0x43, 0x63, 0x6E, 0x4B, 0x00, 0x00, 0x02,
                                            0xA8, 0x46, 0x78, 0x43, 0x6B, 0x00, 0x00,
                                            0x00, 0x01, 0x00, 0x01, 0xFE, 0xFF};
  EXPECT_EQ(dump(bytes), "43636e4b 000002a8 4678436b 00000001  10\n0001feff \n");
}

TEST(DumpBytes, FullLinesEndWithAnEmptyLine) {
  const std::vector<unsigned char> bytes(32, 0xFF);
  const std::string line = "ffffffff ffffffff ffffffff ffffffff";
  EXPECT_EQ(dump(bytes), line + "  10\n" + line + "  20\n\n");
}

TEST(DumpBytes, EmptyAndPartialLines) {
  EXPECT_EQ(dump({}), "\n");
  EXPECT_EQ(dump({0x0A}), "0a\n");
  EXPECT_EQ(dump({1, 2, 3, 4, 5}), "01020304 05\n");
  EXPECT_EQ(dump({1, 2, 3, 4, 5, 6, 7, 8}), "01020304 05060708 \n");
}

TEST(DumpBytes, CountOfAFullBufferIsHexadecimal) {
  const std::string out = dump(std::vector<unsigned char>(2048, 0));
  EXPECT_NE(out.find("00000000  7f0\n"), std::string::npos);
  EXPECT_TRUE(out.ends_with("00000000  800\n\n"));
}

TEST(PrintLine, ShowsEveryByteThatIsNotPrintableUtf8Escaped) {
  struct Case {
    const char* name;
    const char* shown;
  };
  for (const Case& c : {
           Case{"\xF1\x80\x80\x80", "\xF1\x80\x80\x80"},  // U+40000, kept
           Case{"\xF0\x90\x80\x80", "\xF0\x90\x80\x80"},  // U+10000, the first of four bytes
           Case{"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},  // U+10FFFF, the last
           Case{"\xE2\x81\xAA", "\xE2\x81\xAA"},          // U+206A, past the isolates
           Case{"\xC2\xA0", "\xC2\xA0"},                  // U+00A0, the first after C1
           Case{"\xE0\x9F\xBF", "\\xe0\\x9f\\xbf"},       // an overlong form
           Case{"\xED\x9F\xBF", "\xED\x9F\xBF"},          // U+D7FF, the last before halves
           Case{"\xE6\x97"
                "A",
                "\\xe6\\x97A"},                               // a sequence cut short
           Case{"\xDF\xBF", "\xDF\xBF"},                      // U+07FF, the last of two bytes
           Case{"\xD8\x9C", "\\xd8\\x9c"},                    // U+061C marks a direction
           Case{"\xF0\x8F\xBF\xBF", "\\xf0\\x8f\\xbf\\xbf"},  // an overlong form
           Case{"\xF4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
           Case{"\xE2\x80\xAE", "\\xe2\\x80\\xae"},           // U+202E turns text around
           Case{"\xE2\x80\xAA", "\\xe2\\x80\\xaa"},           // U+202A, the first embedding
           Case{"\xE2\x80\xA9", "\xE2\x80\xA9"},              // U+2029, the last before them
           Case{"\xE2\x81\xA6", "\\xe2\\x81\\xa6"},           // U+2066, the first isolate
           Case{"\xE2\x81\xA5", "\xE2\x81\xA5"},              // U+2065, the last before them
           Case{"\xE2\x80\x8E", "\\xe2\\x80\\x8e"},           // U+200E and U+200F mark a direction
           Case{"\xE2\x80\x8F", "\\xe2\\x80\\x8f"},
           Case{"\xF1\xC0\x80\x80", "\\xf1\\xc0\\x80\\x80"},  // no continuation byte
           Case{"\xC3\xC0", "\\xc3\\xc0"},
           Case{"\xE2\x81\xA9", "\\xe2\\x81\\xa9"},           // U+2069, the last isolate
           Case{"\xE3\x80\xAE", "\xE3\x80\xAE"},              // U+302E, no direction mark
           Case{"\xF5\x80\x80\x80", "\\xf5\\x80\\x80\\x80"},  // no lead past F4
       }) {
    EXPECT_EQ(testing::capture([&] { printLine({c.name}); }).out, std::string(c.shown) + "\n");
  }
}

TEST(ReportError, GoesOnOnlyWhileTheErrorLevelIsAboveTheSeverity) {
  const testing::ScopedOptions scope;
  struct Case {
    int32_t errorLevel;
    int32_t severity;
    bool goesOn;
  };
  for (const Case c : {Case{2, 1, true}, Case{2, 2, false}, Case{2, 3, false}, Case{1, 1, false},
                       Case{0, 1, false}, Case{4, 3, true}, Case{3, 2, true}, Case{3, 3, false}}) {
    options.errorLevel = c.errorLevel;
    const auto reported = testing::capture([&] {
      return reportError(c.severity, {"Oops: ", "x.fxp"});
    });
    EXPECT_EQ(reported.result, c.goesOn) << "level " << c.errorLevel << " severity " << c.severity;
    EXPECT_EQ(reported.err, "Error " + std::to_string(c.severity) + ": Oops: x.fxp\n");
  }
}

}  // namespace
}  // namespace tunewright
