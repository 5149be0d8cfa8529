#pragma once

namespace tunewright {

// One whole run: snapshot the converters, parse the options, then list, or process every path.
// Returns the exit status: 0 done, 1 option error, 2 prefix with overwrite, 3 processing stopped.
int runProgram(int argc, const char* const* argv);

}  // namespace tunewright
