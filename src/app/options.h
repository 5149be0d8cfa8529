#pragma once

// The command-line options: their record, their parser and the texts they print.

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace tunewright {

// The settings of one run, written only by parseOptions.
struct Options {
  bool writeOutput = true;
  int32_t errorLevel = 2;
  int32_t targetFormat = -1;  // 0 or less: the latest format
  bool showHelp = false;
  bool showVersion = false;
  bool listConverters = false;
  bool overwrite = false;
  bool force = false;            // replace output files that exist already
  const char* prefix = nullptr;  // points into the -p argument itself
  bool recursive = false;
  int32_t verbosity = 0;
};

extern Options options;

// Prints the error line and applies the error level: returns whether the run goes on, which it
// does only while the error level is above the severity.
bool reportError(int32_t severity, std::initializer_list<std::string_view> pieces);

// reportError for an error a system call caused: at -v and above, a line with the system's own
// reason for the failure follows.
bool reportSystemError(int32_t severity, std::initializer_list<std::string_view> pieces);

// Resets options to the defaults and fills them from the command line. Returns the index of the
// first file argument (argc when there is none), or 0 when an option error stops the run.
int32_t parseOptions(int argc, const char* const* argv);

void printUsage();
void printVersion();
// The converters, one a line; with -v each one's parameter map under it, and the composed map of
// each chain of several steps to the -t format.
void printConverterList();

}  // namespace tunewright
