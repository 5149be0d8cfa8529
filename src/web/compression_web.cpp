// Raw deflate for the page's module: the page gives the two calls as imports of "env", made with
// the browser's own libraries, so the module carries no compressor of its own.

#include <cstddef>
#include <cstdint>

#include "convert/compression.h"

#define TUNEWRIGHT_IMPORT(name) extern "C" __attribute__((import_module("env"), import_name(name)))

// Inflates inLength bytes at in into exactly outLength bytes at out, never writing more: 1 when
// the stream ends there, 0 otherwise.
TUNEWRIGHT_IMPORT("inflateRaw")
int32_t importedInflateRaw(const unsigned char* in, std::size_t inLength, unsigned char* out,
                           std::size_t outLength);

// Deflates inLength bytes at in as one raw stream with zlib's defaults (level 6, the deflate of
// pako 2.1.0 gives zlib's very bytes) into out, which has room for outRoom bytes: their length,
// or -1 when they do not fit.
TUNEWRIGHT_IMPORT("deflateRaw")
int32_t importedDeflateRaw(const unsigned char* in, std::size_t inLength, unsigned char* out,
                           std::size_t outRoom);

namespace tunewright {

bool inflateRaw(std::span<const unsigned char> compressed, std::span<unsigned char> inflated) {
  return importedInflateRaw(compressed.data(), compressed.size(), inflated.data(),
                            inflated.size()) == 1;
}

int64_t deflateRaw(std::span<const unsigned char> data, std::span<unsigned char> out) {
  return importedDeflateRaw(data.data(), data.size(), out.data(), out.size());
}

}  // namespace tunewright
