// Every line the program prints: progress, error lines and the byte dump.

#include "app/console.h"

#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace tunewright {

namespace {

// The characters that reorder the text around them (U+202A to U+202E, U+2066 to U+2069) or
// mark a direction invisibly (U+200E, U+200F, U+061C): a name holding one could show as another
// name, or turn the rest of the line around.
bool isBidirectionalControl(std::string_view sequence) {
  if (sequence.size() == 2) {
    return sequence == "\xD8\x9C";
  }
  if (sequence.size() != 3 || sequence[0] != '\xE2') {
    return false;
  }
  const auto second = static_cast<unsigned char>(sequence[1]);
  const auto third = static_cast<unsigned char>(sequence[2]);
  return (second == 0x80 && ((third >= 0xAA && third <= 0xAE) || third == 0x8E || third == 0x8F)) ||
         (second == 0x81 && third >= 0xA6 && third <= 0xA9);
}

// The length of the valid UTF-8 sequence at the start of text that encodes a character other
// than a control character, or 0. Overlong forms, surrogates and code points past U+10FFFF are
// not valid.
std::size_t printableSequence(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead >= 0x20 && lead < 0x7F) {
    return 1;
  }
  // The range of the first continuation byte, which rules out the overlong and surrogate forms.
  std::size_t length = 0;
  unsigned char low = 0x80;  // no-mutate(constant): each length sets its own
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    low = lead == 0xC2 ? 0xA0 : 0x80;         // C2 80 to C2 9F are the C1 controls
  } else if (lead >= 0xE0 && lead <= 0xEF) {  // no-mutate(constant): 0xDF is two bytes, above
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0) {  // no-mutate(constant): no sequence here is one byte long
    return 0;
  }
  if (text.size() < length || byte(1) < low || byte(1) > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {  // no-mutate(constant): byte 1 is checked above
    if (byte(i) < 0x80 || byte(i) > 0xBF) {
      return 0;
    }
  }
  return isBidirectionalControl(text.substr(0, length)) ? 0 : length;
}

// A control character in a name (a newline, an escape sequence, a C1 control such as CSI, a
// bidirectional control) could forge a line, restyle the terminal or show another name, and a
// byte that is not UTF-8 (an unpaired surrogate of a Windows name among them) could start such a
// sequence for a terminal that reads another encoding: each such byte is shown as "\x" and two
// hexadecimal digits. Valid text is kept as it is.
void appendPrintable(std::string& line, std::string_view text) {
  static constexpr char kDigits[] = "0123456789abcdef";
  while (!text.empty()) {
    const std::size_t length = printableSequence(text);
    if (length > 0) {
      line.append(text.substr(0, length));
      text.remove_prefix(length);
      continue;
    }
    const auto byte = static_cast<unsigned char>(text.front());
    line.append({'\\', 'x', kDigits[byte >> 4], kDigits[byte & 0xF]});
    text.remove_prefix(1);
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

void printErrorDetail(std::initializer_list<std::string_view> pieces) {
  writeLine(platform::Stream::kError, "  ", pieces);
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
