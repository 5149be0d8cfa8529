// Every line the program prints: progress, error lines and the byte dump.

#include "app/console.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace tunewright {

namespace {

// A control character in a name (a newline, an escape sequence) could forge a line or restyle
// the terminal: it is shown as "\x" and two hexadecimal digits. Everything else is kept as is.
void appendPrintable(std::string& line, std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      line.append({'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0xF]});
    } else {
      line.push_back(c);
    }
  }
}

// One line is assembled whole, so that it reaches the stream in one write (standard error is
// unbuffered) and a console sees whole characters. The buffer is kept for the next line.
void writeLine(platform::Stream stream, std::string_view lead,
               std::initializer_list<std::string_view> pieces) {
  static std::string line;
  line.assign(lead);
  for (const std::string_view piece : pieces) {
    appendPrintable(line, piece);
  }
  line.push_back('\n');
  platform::writeLine(stream, line);
}

}  // namespace

void printLine(std::initializer_list<std::string_view> pieces) {
  writeLine(platform::Stream::kOutput, {}, pieces);
}

void printErrorLine(int32_t severity, std::initializer_list<std::string_view> pieces) {
  const char lead[] = {'E', 'r', 'r', 'o', 'r', ' ', static_cast<char>('0' + severity), ':', ' '};
  writeLine(platform::Stream::kError, std::string_view(lead, sizeof lead), pieces);
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
