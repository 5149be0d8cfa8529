#pragma once

// The program's text for the names of a system whose names are UTF-16 (Windows): WTF-8, which
// is UTF-8 for every valid name and gives a surrogate without its pair (which NTFS takes as it
// is) a three-byte sequence of its own, so that every name comes back to the very same name.

#include <cstdint>
#include <string>
#include <string_view>

namespace tunewright::platform {

// WTF-8 (or UTF-8) to UTF-16 units of Unit. A byte that no sequence begins (never in a name the
// system gave) becomes U+FFFD.
template <typename Unit>
std::basic_string<Unit> fromWtf8(std::string_view text) {
  std::basic_string<Unit> units;
  units.reserve(text.size());
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const auto continuation = [&](std::size_t i) {
    return i < text.size() && (byte(i) & 0xC0) == 0x80;
  };
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char lead = byte(i);
    uint32_t code = 0xFFFD;
    std::size_t length = 1;
    if (lead < 0x80) {
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF && continuation(i + 1)) {
      code = ((lead & 0x1Fu) << 6) | (byte(i + 1) & 0x3Fu);
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF && continuation(i + 1) && continuation(i + 2)) {
      const uint32_t decoded =
          ((lead & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
      if (decoded >= 0x800) {  // not an overlong form
        code = decoded;
        length = 3;
      }
    } else if (lead >= 0xF0 && lead <= 0xF4 && continuation(i + 1) && continuation(i + 2) &&
               continuation(i + 3)) {
      const uint32_t decoded = ((lead & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) |
                               ((byte(i + 2) & 0x3Fu) << 6) | (byte(i + 3) & 0x3Fu);
      if (decoded >= 0x10000 && decoded <= 0x10FFFF) {
        code = decoded;
        length = 4;
      }
    }
    if (code >= 0x10000) {
      units.push_back(static_cast<Unit>(0xD800 + ((code - 0x10000) >> 10)));
      units.push_back(static_cast<Unit>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    } else {
      units.push_back(static_cast<Unit>(code));
    }
    i += length;
  }
  return units;
}

// UTF-16 units to WTF-8, into out, whose capacity is kept for the next call.
template <typename Unit>
void toWtf8(std::basic_string_view<Unit> units, std::string& out) {
  out.clear();
  const auto unit = [&](std::size_t i) { return static_cast<uint32_t>(units[i]) & 0xFFFF; };
  for (std::size_t i = 0; i < units.size(); ++i) {
    uint32_t code = unit(i);
    if (code >= 0xD800 && code <= 0xDBFF && i + 1 < units.size() && unit(i + 1) >= 0xDC00 &&
        unit(i + 1) <= 0xDFFF) {
      // no-mutate(arithmetic): a slip of the sign only adds bits that no byte written keeps
      code = 0x10000 + ((code - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
      ++i;
    }
    if (code < 0x80) {
      out.push_back(static_cast<char>(code));
    } else if (code < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (code >> 6)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (code < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (code >> 12)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    }
  }
}

}  // namespace tunewright::platform
