// Arbitrary argument vectors through option parsing, and arbitrary strings through path
// joining and output naming at every capacity. Error lines go to standard error; run with
// -close_fd_mask=2 to keep them out of the fuzzer's log.

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "app/options.h"
#include "app/paths.h"
#include "convert/chain.h"
#include "fuzz_check.h"

namespace tunewright {
namespace {

using fuzz::require;

constexpr int32_t kBufferSize = 320;  // past every capacity tried, plus a guard region
constexpr char kGuard = '\x5A';

// A string as a C program sees it: up to the first zero byte.
std::string consumeText(FuzzedDataProvider& input, std::size_t maxLength) {
  return input.ConsumeRandomLengthString(maxLength).c_str();
}

void checkOptions(FuzzedDataProvider& input) {
  std::vector<std::string> arguments = {"tunewright"};
  const auto count = input.ConsumeIntegralInRange<std::size_t>(0, 12);
  for (std::size_t i = 0; i < count; ++i) {
    arguments.push_back(consumeText(input, 40));
  }
  std::vector<const char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(argument.c_str());
  }
  const auto argc = static_cast<int32_t>(argv.size());
  const int32_t first = parseOptions(argc, argv.data());
  require(first == 0 || (first >= 1 && first <= argc), "the first path lies within argv");
  if (first == 0) {
    return;
  }
  // Each -v raises the verbosity by one: never past the v letters of the options.
  std::ptrdiff_t letters = 0;
  for (auto option = arguments.begin() + 1; option != arguments.begin() + first; ++option) {
    letters += std::ranges::count(*option, 'v');
  }
  require(options.verbosity <= letters, "the verbosity counts v letters of the options, no others");
  require(options.targetFormat == -1 || isKnownTarget(options.targetFormat),
          "the target is the latest format or one some converter produces");
  if (options.prefix != nullptr) {
    bool inArgument = false;
    for (const std::string& argument : arguments) {
      inArgument |= options.prefix > argument.c_str() &&
                    options.prefix <= argument.c_str() + argument.size() && *options.prefix != '\0';
    }
    require(inArgument, "the prefix is the nonempty rest of an argument");
  }
}

// A built path is either refused with the buffer untouched or fits the capacity; nothing past
// the capacity is ever written.
void checkBuilt(const char* made, const char* buffer, int32_t capacity,
                const std::string& expected) {
  const std::string untouched(kBufferSize, kGuard);
  if (made == nullptr) {
    require(std::memcmp(buffer, untouched.data(), kBufferSize) == 0, "a refusal writes nothing");
    require(capacity <= 0 || expected.size() >= static_cast<std::size_t>(capacity),
            "only what does not fit is refused");
    return;
  }
  require(made == buffer, "the buffer is returned");
  require(expected.size() < static_cast<std::size_t>(capacity), "the path fits the capacity");
  require(expected == buffer, "the path is built as joinPath and makeOutputPath promise");
  require(std::memcmp(buffer + capacity, untouched.data(),
                      static_cast<std::size_t>(kBufferSize - capacity)) == 0,
          "nothing past the capacity is written");
}

void checkPaths(FuzzedDataProvider& input) {
  const auto capacity = input.ConsumeIntegralInRange<int32_t>(-4, kBufferSize - 40);
  const std::string first = consumeText(input, 300);
  const std::string second = consumeText(input, 300);
  char buffer[kBufferSize];

  std::memset(buffer, kGuard, sizeof buffer);
  checkBuilt(joinPath(capacity, buffer, first.c_str(), second.c_str()), buffer, capacity,
             first + '\\' + second);

  const bool inPlace = input.ConsumeBool();
  std::memset(buffer, kGuard, sizeof buffer);
  const std::size_t separator = second.find_last_of("/\\");
  const std::size_t nameStart = separator == std::string::npos ? 0 : separator + 1;
  const std::string expected =
      inPlace ? second : second.substr(0, nameStart) + first + second.substr(nameStart);
  checkBuilt(makeOutputPath(capacity, buffer, inPlace ? nullptr : first.c_str(), second.c_str()),
             buffer, capacity, expected);
}

}  // namespace
}  // namespace tunewright

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  tunewright::snapshotConverters();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeBool()) {
    tunewright::checkOptions(input);
  } else {
    tunewright::checkPaths(input);
  }
  return 0;
}
