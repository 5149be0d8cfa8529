// Option parsing, its error lines and fallbacks, and the usage text.

#include "app/options.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "capture.h"
#include "test_support.h"

namespace tunewright {
namespace {

using testing::FakeConverter;
using testing::ScopedConverters;
using testing::ScopedOptions;

const FakeConverter kToV2(1000102, 1000200, "Tavlora v0.1.2", "Tavlora v0.2");
const FakeConverter kToV501(2000500, 2000501, "Brisklet v0.5", "Brisklet v0.5.1");

struct Parsed {
  int32_t result;
  std::string errors;
};

Parsed parse(std::vector<const char*> arguments) {
  arguments.insert(arguments.begin(), "tunewright");
  const auto parsed = testing::capture(
      [&] { return parseOptions(static_cast<int>(arguments.size()), arguments.data()); });
  return {parsed.result, parsed.err};
}

class ParseOptions : public ::testing::Test {
 protected:
  ScopedOptions options_;
  ScopedConverters converters_{{&kToV2, &kToV501}};
};

TEST_F(ParseOptions, DefaultsWithoutOptions) {
  options.verbosity = 9;  // stale state from an earlier parse must not survive
  const Parsed parsed = parse({"a.fxp", "-v"});
  EXPECT_EQ(parsed.result, 1);
  EXPECT_EQ(parsed.errors, "");
  EXPECT_TRUE(options.writeOutput);
  EXPECT_EQ(options.errorLevel, 2);
  EXPECT_EQ(options.targetFormat, -1);
  EXPECT_EQ(options.verbosity, 0);
  EXPECT_EQ(options.prefix, nullptr);
  EXPECT_FALSE(options.showHelp || options.listConverters || options.overwrite ||
               options.recursive);
}

TEST_F(ParseOptions, LettersShareAnArgumentAndOptionsEndAtTheFirstPath) {
  EXPECT_EQ(parse({"-rv", "-vv", "-", "-no", "-l?", "x", "-e9"}).result, 6);
  EXPECT_TRUE(options.recursive);
  EXPECT_EQ(options.verbosity, 3);
  EXPECT_FALSE(options.writeOutput);
  EXPECT_TRUE(options.overwrite);
  EXPECT_TRUE(options.listConverters);
  EXPECT_TRUE(options.showHelp);
  EXPECT_EQ(options.errorLevel, 2);  // -e9 came after the first path
  EXPECT_EQ(parse({"-h"}).result, 2);
  EXPECT_TRUE(options.showHelp);
  EXPECT_EQ(parse({"-r", ""}).result, 2);  // an empty argument is a path
}

TEST_F(ParseOptions, TheTwoLongOptionsAreWholeArguments) {
  EXPECT_EQ(parse({"--version", "-v", "--help", "x", "--help"}).result, 4);
  EXPECT_TRUE(options.showVersion && options.showHelp);
  EXPECT_EQ(options.verbosity, 1);
  // Anything else after "--" is still the letter "-" and what follows it.
  const Parsed misspelt = parse({"-e9", "--versions"});
  EXPECT_EQ(misspelt.result, 3);
  EXPECT_FALSE(options.showVersion);
  EXPECT_TRUE(misspelt.errors.starts_with("Error 3: Unrecognized option '--'.\n"))
      << misspelt.errors;
}

TEST_F(ParseOptions, ParametersTakeTheRestOfTheArgument) {
  const std::vector<const char*> arguments = {"tunewright", "-vpnew/-x", "-t1000200v", "-e 3x"};
  EXPECT_EQ(parseOptions(4, arguments.data()), 4);
  EXPECT_EQ(options.prefix, arguments[1] + 3);  // a reference into the argument, not a copy
  EXPECT_EQ(options.targetFormat, 1000200);
  EXPECT_EQ(options.errorLevel, 3);
  EXPECT_EQ(options.verbosity, 1);
}

TEST_F(ParseOptions, LaterValuesReplaceEarlierOnes) {
  EXPECT_EQ(parse({"-pA", "-pB", "-e5", "-e1", "-t2000501", "-t1000200"}).result, 7);
  EXPECT_STREQ(options.prefix, "B");
  EXPECT_EQ(options.errorLevel, 1);
  EXPECT_EQ(options.targetFormat, 1000200);
}

struct ErrorCase {
  std::vector<const char*> arguments;
  int32_t result;
  std::string errors;
};

class OptionErrors : public ParseOptions, public ::testing::WithParamInterface<ErrorCase> {};

TEST_P(OptionErrors, ReportEachErrorAndStopUnlessTolerated) {
  const ErrorCase& c = GetParam();
  const Parsed parsed = parse(c.arguments);
  EXPECT_EQ(parsed.result, c.result);
  EXPECT_EQ(parsed.errors, c.errors);
}

// A row the end-to-end table (tests/e2e/test_options.py) has word for word is checked there
// alone; these are the rest.
INSTANTIATE_TEST_SUITE_P(
    Table, OptionErrors,
    ::testing::Values(
        ErrorCase{{"-x", "-e5"}, 0, "Error 3: Unrecognized option '-x'.\n"},
        ErrorCase{{"-e5", "-x", "-y"},
                  4,
                  "Error 3: Unrecognized option '-x'.\nError 3: Unrecognized option '-y'.\n"},
        ErrorCase{{"-e"}, 0, "Error 3: Invalid error level ''.\n"},
        ErrorCase{{"-eZ"}, 0, "Error 3: Invalid error level 'Z'.\n"},
        ErrorCase{{"-t0"}, 0, "Error 3: Invalid target format '0'.\n"},
        ErrorCase{{"-t"}, 0, "Error 3: Invalid target format ''.\n"},
        ErrorCase{{"-e3", "-x"}, 0, "Error 3: Unrecognized option '-x'.\n"},
        ErrorCase{{"-e4", "-X?"}, 3, "Error 3: Unrecognized option '-X'.\n"}));

TEST_F(ParseOptions, ToleratedErrorsApplyTheirFallbacks) {
  EXPECT_EQ(parse({"-e4", "-t2000501", "-tv"}).result, 4);
  EXPECT_EQ(options.targetFormat, -1);
  EXPECT_EQ(options.errorLevel, 4);
  EXPECT_EQ(parse({"-e4", "-pX", "-p"}).result, 4);
  EXPECT_EQ(options.prefix, nullptr);
  EXPECT_EQ(parse({"-e7", "-e"}).result, 3);
  EXPECT_EQ(options.errorLevel, 2);
}

// Numbers, here in -e, are read as "%d" reads them, saturating to 32 bits.
TEST_F(ParseOptions, NumbersAreReadLikePercentDAndSaturate) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  struct Case {
    const char* text;
    bool read;
    int32_t value;
  };
  for (const Case c : {
           Case{"3", true, 3},
           Case{"3x", true, 3},
           Case{" \t\n\v\f\r-42", true, -42},
           Case{"+7", true, 7},
           Case{"007", true, 7},
           Case{"-0", true, 0},
           Case{"2147483647", true, kMax},
           Case{"2147483648", true, kMax},
           Case{"-2147483648", true, kMin},
           Case{"-2147483649", true, kMin},
           Case{"99999999999999999999999999", true, kMax},
           Case{"-99999999999999999999999999", true, kMin},
           Case{"", false, 0},
           Case{"x3", false, 0},
           Case{"-", false, 0},
           Case{"+-3", false, 0},
           Case{"- 3", false, 0},
       }) {
    const std::string argument = std::string("-e") + c.text;
    const Parsed parsed = parse({argument.c_str()});
    EXPECT_EQ(parsed.result, c.read ? 2 : 0) << c.text;
    if (c.read) {
      EXPECT_EQ(options.errorLevel, c.value) << c.text;
    } else {
      EXPECT_EQ(parsed.errors, "Error 3: Invalid error level '" + std::string(c.text) + "'.\n");
    }
  }
}

TEST_F(ParseOptions, AParameterEndsItsArgument) {
  const Parsed parsed = parse({"-pabc", "-v"});  // abc is not three more letters
  EXPECT_EQ(parsed.result, 3);
  EXPECT_EQ(parsed.errors, "");
  EXPECT_STREQ(options.prefix, "abc");
  EXPECT_EQ(options.verbosity, 1);
}

// The text itself is checked once, end to end; here, its layout.
TEST(PrintUsage, OneLineAnOptionWithBlankLinesBetween) {
  const std::string out = testing::capture(printUsage).out;
  ASSERT_TRUE(out.starts_with("Usage: tunewright [OPTION]... [FILE]...\n\n-")) << out;
  std::size_t lines = 0;
  for (std::size_t start = 0; start < out.size(); ++lines) {
    const std::size_t end = out.find('\n', start);
    ASSERT_NE(end, std::string::npos) << out;
    EXPECT_EQ(end == start, lines % 2 == 1) << "line " << lines + 1 << " of " << out;
    start = end + 1;
  }
  EXPECT_EQ(lines % 2, 1u) << "no blank line after the last";
}

TEST(PrintConverterList, OneLinePerConverterInSortedOrder) {
  const ScopedConverters scope({&kToV2, &kToV501});
  EXPECT_EQ(testing::capture(printConverterList).out,
            "Tavlora v0.1.2 (1000102) -> Tavlora v0.2 (1000200)\n"
            "Brisklet v0.5 (2000500) -> Brisklet v0.5.1 (2000501)\n");
}

}  // namespace
}  // namespace tunewright
