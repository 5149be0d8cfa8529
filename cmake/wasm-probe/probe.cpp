// Uses the C++ library's headers and code the way the page's module does, with no exceptions.

#include <algorithm>
#include <cstddef>
#include <vector>

extern "C" void* __cxa_allocate_exception(std::size_t) {
  __builtin_trap();
}
extern "C" void __cxa_throw(void*, void*, void (*)(void*)) {
  __builtin_trap();
}

extern "C" __attribute__((export_name("probe"))) int probe(int n) {
  std::vector<int> values(static_cast<std::size_t>(n));
  std::sort(values.begin(), values.end());
  return static_cast<int>(values.size());
}
