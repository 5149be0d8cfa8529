#include "app/console.h"

#include <cstdio>

#include "app/options.h"

namespace tunewright {

namespace {

void write(std::FILE* stream, std::string_view text) {
  if (!text.empty()) {  // an empty view may carry no pointer at all
    std::fwrite(text.data(), 1, text.size(), stream);
  }
}

void writeLine(std::FILE* stream, std::string_view lead,
               std::initializer_list<std::string_view> pieces) {
  write(stream, lead);
  for (const std::string_view piece : pieces) {
    write(stream, piece);
  }
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

void printLine(std::initializer_list<std::string_view> pieces) {
  writeLine(stdout, {}, pieces);
}

bool reportError(int32_t severity, std::initializer_list<std::string_view> pieces) {
  const char lead[] = {'E', 'r', 'r', 'o', 'r', ' ', static_cast<char>('0' + severity), ':', ' '};
  writeLine(stderr, std::string_view(lead, sizeof lead), pieces);
  return options.errorLevel > severity;
}

void dumpBytes(int32_t length, const unsigned char* bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  // One full line: 16 bytes in four groups, two spaces, a count of up to three digits.
  char line[64];
  std::size_t used = 0;
  for (int32_t i = 0; i < length; ++i) {
    line[used++] = kDigits[bytes[i] >> 4];
    line[used++] = kDigits[bytes[i] & 0xF];
    const int32_t dumped = i + 1;
    if (dumped % 16 == 0) {
      used += static_cast<std::size_t>(
          std::snprintf(line + used, sizeof line - used, "  %x", static_cast<unsigned>(dumped)));
      printLine({std::string_view(line, used)});
      used = 0;
    } else if (dumped % 4 == 0) {
      line[used++] = ' ';
    }
  }
  printLine({std::string_view(line, used)});
}

}  // namespace tunewright
