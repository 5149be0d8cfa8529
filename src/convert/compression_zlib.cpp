// Raw deflate by zlib, for the program on every platform it is built for.

#define ZLIB_CONST
#include <zlib.h>

#include <limits>

#include "convert/compression.h"

namespace tunewright {

namespace {

// zlib counts in unsigned int: everything the upgrade inflates or deflates is far smaller.
bool fitsOneCall(std::size_t length) {
  return length < std::numeric_limits<uInt>::max();
}

}  // namespace

bool inflateRaw(std::span<const unsigned char> compressed, std::span<unsigned char> inflated) {
  if (!fitsOneCall(compressed.size()) || !fitsOneCall(inflated.size())) {
    return false;
  }
  z_stream stream{};
  if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) {
    return false;
  }
  unsigned char none = 0;  // zlib wants somewhere to write, even nothing
  stream.next_in = compressed.data();
  stream.avail_in = static_cast<uInt>(compressed.size());
  stream.next_out = inflated.empty() ? &none : inflated.data();
  stream.avail_out = static_cast<uInt>(inflated.size());
  // Stops where the output is full: a stream that would give more ends as an error there.
  const int status = inflate(&stream, Z_FINISH);
  const bool whole = status == Z_STREAM_END && stream.avail_in == 0 && stream.avail_out == 0;
  inflateEnd(&stream);
  return whole;
}

int64_t deflateRaw(std::span<const unsigned char> data, std::span<unsigned char> out) {
  if (!fitsOneCall(data.size()) || !fitsOneCall(out.size()) || out.empty()) {
    return -1;
  }
  z_stream stream{};
  if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) !=
      Z_OK) {
    return -1;
  }
  stream.next_in = data.data();
  stream.avail_in = static_cast<uInt>(data.size());
  stream.next_out = out.data();
  stream.avail_out = static_cast<uInt>(out.size());
  const int status = deflate(&stream, Z_FINISH);
  const auto length = static_cast<int64_t>(stream.total_out);
  deflateEnd(&stream);
  return status == Z_STREAM_END ? length : -1;
}

}  // namespace tunewright
