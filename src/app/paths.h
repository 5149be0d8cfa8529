#pragma once

// Paths the program builds: a directory and a name joined, and output names.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tunewright {

// Capacity, terminator included, of every path the program builds.
inline constexpr int32_t kMaxPath = 260;

// Writes directory, one backslash and name into out. Returns out, or nullptr with out untouched
// when the joined path would not fit in capacity bytes.
char* joinPath(int32_t capacity, char* out, const char* directory, const char* name);

// Where the file name begins in a path: after its last slash or backslash.
std::size_t nameOffset(std::string_view path);

// Writes the output path for inputPath into out: the input path with prefix inserted before its
// file name, or with no prefix (nullptr, as with -o) the input path itself. Returns out, or
// nullptr with out untouched when the result would not fit in capacity bytes.
char* makeOutputPath(int32_t capacity, char* out, const char* prefix, const char* inputPath);

}  // namespace tunewright
