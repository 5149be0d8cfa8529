// The program's entry: the command line as UTF-8, interruptions made safe, then one run.

#include <string>
#include <vector>

#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  const std::vector<std::string> arguments = tunewright::platform::commandLineArguments(argc, argv);
  std::vector<const char*> pointers;
  pointers.reserve(arguments.size());  // no-mutate(drop-call): it only saves growing
  for (const std::string& argument : arguments) {
    pointers.push_back(argument.c_str());
  }
  tunewright::platform::installInterruptHandlers();
  return tunewright::runProgram(static_cast<int>(pointers.size()), pointers.data());
}
