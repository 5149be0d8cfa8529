#include "app/console.h"

#include <cstdio>
#include <cstring>

#include "app/options.h"

namespace tunewright {

namespace {

// Collects one line so that it reaches the stream in one write: standard error is unbuffered,
// and a line written piece by piece would cost a system call per piece.
class LineWriter {
 public:
  explicit LineWriter(std::FILE* stream) : stream_(stream) {}

  void append(std::string_view text) {
    if (text.size() > sizeof buffer_ - used_) {
      flushBuffer();
      if (text.size() > sizeof buffer_) {  // a very long path: write it as it is
        std::fwrite(text.data(), 1, text.size(), stream_);
        return;
      }
    }
    if (!text.empty()) {  // an empty view may carry no pointer at all
      std::memcpy(buffer_ + used_, text.data(), text.size());
      used_ += text.size();
    }
  }

  void endLine() {
    append("\n");
    flushBuffer();
    std::fflush(stream_);
  }

 private:
  void flushBuffer() {
    std::fwrite(buffer_, 1, used_, stream_);
    used_ = 0;
  }

  std::FILE* stream_;
  char buffer_[1024];
  std::size_t used_ = 0;
};

void writeLine(std::FILE* stream, std::string_view lead,
               std::initializer_list<std::string_view> pieces) {
  LineWriter line(stream);
  line.append(lead);
  for (const std::string_view piece : pieces) {
    line.append(piece);
  }
  line.endLine();
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
