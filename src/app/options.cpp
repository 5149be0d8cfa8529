// The command-line options: parsing, the error-level rule, the usage and version texts.

#include "app/options.h"

#include <limits>
#include <string>
#include <string_view>

#include "app/console.h"
#include "convert/chain.h"
#include "convert/map_text.h"
#include "platform/platform.h"

namespace tunewright {

Options options;

bool reportError(int32_t severity, std::initializer_list<std::string_view> pieces) {
  printErrorLine(severity, pieces);
  return options.errorLevel > severity;
}

bool reportSystemError(int32_t severity, std::initializer_list<std::string_view> pieces) {
  const std::string reason = platform::failureReason();
  const bool goOn = reportError(severity, pieces);
  if (options.verbosity >= 1 && !reason.empty()) {
    printErrorDetail({"Reason: ", reason});
  }
  return goOn;
}

namespace {

bool isScanSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads a number as "%d" does (leading white space, optional sign, digits, the rest ignored),
// saturating to the 32-bit range. False, with value unchanged, when no number begins the text.
bool scanDecimal(const char* text, int32_t& value) {
  while (isScanSpace(*text)) {
    ++text;
  }
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') {
    ++text;
  }
  if (!isDigit(*text)) {
    return false;
  }
  // Accumulate the magnitude in 64 bits and stop growing it once it is past every 32-bit value.
  constexpr int64_t kSaturated = int64_t{std::numeric_limits<int32_t>::max()} + 1;
  int64_t magnitude = 0;
  for (; isDigit(*text); ++text) {
    if (magnitude < kSaturated) {  // no-mutate(relational): one digit more is past it alike
      magnitude = magnitude * 10 + (*text - '0');
    }
  }
  const int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue > std::numeric_limits<int32_t>::max()) {
    value = std::numeric_limits<int32_t>::max();
  } else if (signedValue < std::numeric_limits<int32_t>::min()) {
    value = std::numeric_limits<int32_t>::min();
  } else {
    value = static_cast<int32_t>(signedValue);
  }
  return true;
}

// The rest of the argument from position on; moves position onto its terminating zero.
const char* optionParameter(const char* argument, int32_t& position) {
  const char* parameter = argument + position;
  position += static_cast<int32_t>(std::string_view(parameter).size());
  return parameter;
}

}  // namespace

int32_t parseOptions(int argc, const char* const* argv) {
  options = Options{};
  int32_t index = 1;
  int32_t position = 1;
  while (index < argc && argv[index][0] == '-') {
    const char* argument = argv[index];
    // The two long options every terminal user tries; any other "--" stays an unknown "-".
    if (position == 1 &&
        (argument == std::string_view("--help") || argument == std::string_view("--version"))) {
      (argument[2] == 'h' ? options.showHelp : options.showVersion) = true;
      ++index;
      continue;
    }
    const char letter = argument[position++];
    switch (letter) {
      case '\0':
        ++index;
        position = 1;
        break;
      case '?':
      case 'h':
        options.showHelp = true;
        break;
      case 'f':
        options.force = true;
        break;
      case 'l':
        options.listConverters = true;
        break;
      case 'n':
        options.writeOutput = false;
        break;
      case 'o':
        options.overwrite = true;
        break;
      case 'r':
        options.recursive = true;
        break;
      case 'v':
        if (options.verbosity < std::numeric_limits<int32_t>::max()) {
          ++options.verbosity;
        }
        break;
      case 'e': {
        const char* parameter = optionParameter(argument, position);
        // The error level in force before this failed read decides whether it is tolerated.
        if (!scanDecimal(parameter, options.errorLevel)) {
          if (!reportError(3, {"Invalid error level '", parameter, "'."})) {
            return 0;
          }
          options.errorLevel = 2;
        }
        break;
      }
      case 'p': {
        const char* parameter = optionParameter(argument, position);
        if (*parameter == '\0') {
          if (!reportError(3, {"'-p' option requires nonempty parameter."})) {
            return 0;
          }
          options.prefix = nullptr;
        } else {
          options.prefix = parameter;
        }
        break;
      }
      case 't': {
        const char* parameter = optionParameter(argument, position);
        int32_t target = options.targetFormat;
        if (!scanDecimal(parameter, target) || !isKnownTarget(target)) {
          if (!reportError(3, {"Invalid target format '", parameter, "'."})) {
            return 0;
          }
          target = -1;
        }
        options.targetFormat = target;
        break;
      }
      default:
        if (!reportError(3, {"Unrecognized option '-", std::string_view(&letter, 1), "'."})) {
          return 0;
        }
        break;
    }
  }
  return index;
}

void printUsage() {
  static constexpr std::string_view kLines[] = {
      "Usage: tunewright [OPTION]... [FILE]...",
      "-?            Print this help message and exit.",
      "--help        Print this help message and exit.",
      "--version     Print the program's version and exit.",
      "-eERRORLEVEL  Abort on errors with severity >= the specified level.",
      "-f            Replace output files that already exist.",
      "-l            Print a list of available converters and exit.",
      "-n            Don't write updated presets back to file. Useful for testing.",
      "-o            Overwrite old preset files with successfully updated presets.",
      "-pPREFIX      Use this prefix for updated presets instead of the default.",
      "-r            Scan subdirectories recursively and update presets within them.",
      "-tFORMAT      Convert presets to the specified format.",
      "-v            Be verbose. Be even more verbose if this option is repeated.",
      "FILE          A preset to convert or a directory to scan for presets.",
  };
  bool first = true;
  for (const std::string_view line : kLines) {
    if (!first) {
      printLine({});
    }
    printLine({line});
    first = false;
  }
}

void printVersion() {
  printLine({"tunewright " TUNEWRIGHT_VERSION});
}

void printConverterList() {
  for (const std::string& line : converterListLines(options.verbosity > 0, options.targetFormat)) {
    printLine({line});
  }
}

}  // namespace tunewright
