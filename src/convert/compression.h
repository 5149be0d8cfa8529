#pragma once

// Raw deflate, as a ZIP archive holds its deflated entries: the two calls a project's upgrade
// makes. zlib implements them in the program (compression_zlib.cpp); the page gives its own to
// the WebAssembly module (src/web/compression_web.cpp).

#include <cstddef>
#include <cstdint>
#include <span>

namespace tunewright {

// Inflates one whole raw deflate stream. True only when the stream ends exactly at the end of
// compressed and fills inflated exactly: a stream that would give more is stopped there, so no
// more than inflated.size() bytes are ever produced.
bool inflateRaw(std::span<const unsigned char> compressed, std::span<unsigned char> inflated);

// Deflates data as one raw deflate stream, in one call with zlib's defaults (level 6, a window
// of 32 KiB, memLevel 8, the default strategy), so that every implementation gives the same
// bytes. Returns their length, or -1 when they do not fit in out, which deflateRoom(data.size())
// bytes always do.
int64_t deflateRaw(std::span<const unsigned char> data, std::span<unsigned char> out);

// Room for the raw deflate stream of length bytes, whatever they hold: stored blocks at worst.
constexpr std::size_t deflateRoom(std::size_t length) {
  return length + (length >> 12) + (length >> 14) + (length >> 25) + 64;
}

}  // namespace tunewright
