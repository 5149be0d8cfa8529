#pragma once

// Console output: whole lines, flushed, with control characters in names shown escaped.

#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace tunewright {

// Writes the pieces and a newline to standard output as one line, then flushes.
void printLine(std::initializer_list<std::string_view> pieces);

// Writes "Error N: " and the pieces as one line to standard error, then flushes. Whether the run
// goes on is the error level's business: see reportError.
void printErrorLine(int32_t severity, std::initializer_list<std::string_view> pieces);

// Writes an indented line to standard error that tells more of the error line before it.
void printErrorDetail(std::initializer_list<std::string_view> pieces);

// Writes length bytes to standard output as hexadecimal, 16 a line in groups of four; each full
// line ends with the count of bytes dumped so far, and the dump with one more newline.
void dumpBytes(int32_t length, const unsigned char* bytes);

}  // namespace tunewright
