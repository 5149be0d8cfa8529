#pragma once

// What a test's call writes to standard output and standard error, captured whole.

#include <string>
#include <type_traits>
#include <utility>

namespace tunewright::testing {

struct Output {
  std::string out;
  std::string err;
};

template <typename Result>
struct Captured {
  Result result;
  std::string out;
  std::string err;
};

void startCapture();
Output endCapture();

// Runs action with both streams captured. Returns what they received, with what action returned
// (when it returns anything) as result.
template <typename Action>
auto capture(Action&& action) {
  startCapture();
  if constexpr (std::is_void_v<std::invoke_result_t<Action>>) {
    std::forward<Action>(action)();
    return endCapture();
  } else {
    auto result = std::forward<Action>(action)();
    Output output = endCapture();
    return Captured<decltype(result)>{std::move(result), std::move(output.out),
                                      std::move(output.err)};
  }
}

}  // namespace tunewright::testing
