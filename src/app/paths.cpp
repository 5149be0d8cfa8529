// Building the paths the program makes, within their fixed limit.

#include "app/paths.h"

#include <cstring>

namespace tunewright {

namespace {

// Whether a path of length characters and its terminator fit in capacity bytes.
bool fits(std::size_t length, int32_t capacity) {
  return capacity > 0 &&  // no-mutate(relational): at 0 no length fits either way
         length < static_cast<std::size_t>(capacity);
}

char* append(char* out, std::string_view text) {
  if (!text.empty()) {
    std::memcpy(out, text.data(), text.size());
  }
  return out + text.size();
}

}  // namespace

char* joinPath(int32_t capacity, char* out, const char* directory, const char* name) {
  const std::string_view dir(directory);
  const std::string_view base(name);
  if (!fits(dir.size() + 1 + base.size(), capacity)) {
    return nullptr;
  }
  char* end = append(out, dir);
  *end++ = '\\';
  end = append(end, base);
  *end = '\0';
  return out;
}

// A loop of its own: find_last_of with a set of two makes a library call per character, and
// every file of a run takes this way twice.
std::size_t nameOffset(std::string_view path) {
  std::size_t offset = path.size();
  while (offset > 0 && path[offset - 1] != '/' && path[offset - 1] != '\\') {
    --offset;
  }
  return offset;
}

char* makeOutputPath(int32_t capacity, char* out, const char* prefix, const char* inputPath) {
  const std::string_view input(inputPath);
  if (prefix == nullptr) {
    if (!fits(input.size(), capacity)) {
      return nullptr;
    }
    *append(out, input) = '\0';
    return out;
  }
  const std::string_view insert(prefix);
  if (!fits(insert.size() + input.size(), capacity)) {
    return nullptr;
  }
  const std::size_t nameStart = nameOffset(input);
  char* end = append(out, input.substr(0, nameStart));
  end = append(end, insert);
  end = append(end, input.substr(nameStart));
  *end = '\0';
  return out;
}

}  // namespace tunewright
