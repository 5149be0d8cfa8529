#pragma once

// Projects for the tests and the fuzz target: ZIP archives built in memory as the writers of
// projects make them (entries deflated or stored, with or without data descriptors, ZIP64 or
// not), fed to whatever reads them by ranges, and what an upgrade plans read back.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/zip_archive.h"

namespace tunewright::testing {

struct ZipSource {
  std::string name;
  std::string content;
  bool deflated = true;
  bool descriptor = false;  // flag bit 3, the numbers in a descriptor with its signature
  uint16_t flags = 0;       // more flag bits, such as encryption's
};

struct ZipLayout {
  bool zip64 = false;  // every number in ZIP64 extra fields and end records
  std::string prefix;  // bytes before the first entry
  std::string comment;
  // Where the bytes start in a larger archive whose first offset bytes are never read: they are
  // left out of the result, and counted in every offset.
  uint64_t offset = 0;
};

// The bytes of the archive, from layout.offset on.
std::string makeZip(const std::vector<ZipSource>& entries, const ZipLayout& layout = {});

// Answers a reader's requests (need() and supply(bytes)) from an archive that holds bytes from
// offset on and zeros before, until it asks no more; a range past the end is cut short.
template <typename Reader>
void feedArchive(Reader& reader, std::string_view bytes, uint64_t offset = 0) {
  std::vector<unsigned char> buffer;
  while (const auto range = reader.need()) {
    buffer.assign(static_cast<std::size_t>(range->length), 0);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
      const uint64_t at = range->offset + i;
      if (at >= offset + bytes.size()) {
        buffer.resize(i);
        break;
      }
      if (at >= offset) {
        buffer[i] = static_cast<unsigned char>(bytes[static_cast<std::size_t>(at - offset)]);
      }
    }
    reader.supply(std::span<const unsigned char>(buffer));
  }
}

// Extracts an entry of the archive, which holds bytes from offset on, into content.
ArchiveFault extractEntry(ZipArchive& archive, std::string_view bytes, const ZipEntry& entry,
                          std::string& content, uint64_t offset = 0);

// The file a plan makes of the original archive, which holds bytes from offset on; pieces of the
// original that end before offset are left out.
std::string assemblePlan(std::span<const OutputPiece> pieces,
                         std::span<const unsigned char> newBytes, std::string_view original,
                         uint64_t offset = 0);

// An XML document with every attribute value left out, which an upgrade must keep as it was;
// "malformed" for a document that is not well-formed.
std::string withoutAttributeValues(std::string_view xml);

}  // namespace tunewright::testing
