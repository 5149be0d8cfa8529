#pragma once

// One whole run of the program, from the command line to the exit status.

#include "platform/platform.h"

namespace tunewright {

// The console window the program may have been given for itself, and waiting on it; tests put
// their own in.
struct ConsoleWindow {
  bool (*isOwn)();
  void (*waitForEnter)();
};

// One whole run: snapshot the converters, parse the options, then list, or process every path.
// In a console window of its own (started from Explorer) the run shows every preset it converts
// and every error, sums up, and waits for Enter before the window closes.
// Returns the exit status: 0 done, 1 option error, 2 prefix with overwrite, 3 processing stopped.
int runProgram(int argc, const char* const* argv,
               const ConsoleWindow& window = {platform::ownsConsoleWindow, platform::waitForEnter});

}  // namespace tunewright
