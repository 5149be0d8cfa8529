// Projects for the tests: ZIP archives written field by field, as the writers of projects lay
// them out, and read back.

#include "project_builder.h"

#include <algorithm>

#include "convert/compression.h"
#include "convert/xml_scanner.h"
#include "preset/preset_image.h"

namespace tunewright::testing {

namespace {

constexpr uint32_t kSaturated = 0xFFFFFFFF;

class Writer {
 public:
  void u16(uint64_t value) { put(2, value); }
  void u32(uint64_t value) { put(4, value); }
  void u64(uint64_t value) { put(8, value); }
  void text(std::string_view value) { bytes_.append(value); }
  std::size_t size() const { return bytes_.size(); }
  std::string& bytes() { return bytes_; }

 private:
  void put(int32_t width, uint64_t value) {
    unsigned char word[8];
    storeLittleEndian64(word, 0, value);
    bytes_.append(reinterpret_cast<const char*>(word), static_cast<std::size_t>(width));
  }
  std::string bytes_;
};

std::span<const unsigned char> asBytes(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

}  // namespace

std::string makeZip(const std::vector<ZipSource>& entries, const ZipLayout& layout) {
  Writer out;
  out.text(layout.prefix);
  Writer central;
  for (const ZipSource& entry : entries) {
    std::string data = entry.content;
    if (entry.deflated) {
      data.resize(deflateRoom(entry.content.size()));
      const int64_t length = deflateRaw(
          asBytes(entry.content), {reinterpret_cast<unsigned char*>(data.data()), data.size()});
      data.resize(static_cast<std::size_t>(length));
    }
    const uint32_t crc = zipCrc32(asBytes(entry.content));
    const uint16_t flags = static_cast<uint16_t>(entry.flags | (entry.descriptor ? 8 : 0) | 0x800);
    const uint64_t offset = layout.offset + out.size();
    const uint16_t method = entry.deflated ? 8 : 0;
    const auto numbers = [&](Writer& to, bool deferred) {
      to.u32(deferred ? 0 : crc);
      to.u32(layout.zip64 ? kSaturated : deferred ? 0 : data.size());
      to.u32(layout.zip64 ? kSaturated : deferred ? 0 : entry.content.size());
    };

    out.u32(0x04034B50);
    out.u16(layout.zip64 ? 45 : 20);
    out.u16(flags);
    out.u16(method);
    out.u32(0x5A2E4C21);  // a modification time and date
    numbers(out, entry.descriptor);
    out.u16(entry.name.size());
    out.u16(layout.zip64 ? 20 : 0);
    out.text(entry.name);
    if (layout.zip64) {
      out.u16(1);
      out.u16(16);
      out.u64(entry.descriptor ? 0 : entry.content.size());
      out.u64(entry.descriptor ? 0 : data.size());
    }
    out.text(data);
    if (entry.descriptor) {
      out.u32(0x08074B50);
      out.u32(crc);
      for (const uint64_t size : {data.size(), entry.content.size()}) {
        layout.zip64 ? out.u64(size) : out.u32(size);
      }
    }

    central.u32(0x02014B50);
    central.u16(0x031E);
    central.u16(layout.zip64 ? 45 : 20);
    central.u16(flags);
    central.u16(method);
    central.u32(0x5A2E4C21);
    numbers(central, false);
    central.u16(entry.name.size());
    central.u16(layout.zip64 ? 28 : 0);
    central.u16(0);           // comment
    central.u16(0);           // disk
    central.u16(0);           // internal attributes
    central.u32(0x81A40000);  // external attributes: a file, rw-r--r--
    central.u32(layout.zip64 ? kSaturated : offset);
    central.text(entry.name);
    if (layout.zip64) {
      central.u16(1);
      central.u16(24);
      central.u64(entry.content.size());
      central.u64(data.size());
      central.u64(offset);
    }
  }
  const uint64_t centralOffset = layout.offset + out.size();
  out.text(central.bytes());
  if (layout.zip64) {
    const uint64_t record = layout.offset + out.size();
    out.u32(0x06064B50);
    out.u64(44);
    out.u16(45);
    out.u16(45);
    out.u32(0);
    out.u32(0);
    out.u64(entries.size());
    out.u64(entries.size());
    out.u64(central.size());
    out.u64(centralOffset);
    out.u32(0x07064B50);
    out.u32(0);
    out.u64(record);
    out.u32(1);
  }
  out.u32(0x06054B50);
  out.u16(0);
  out.u16(0);
  out.u16(layout.zip64 ? 0xFFFF : entries.size());
  out.u16(layout.zip64 ? 0xFFFF : entries.size());
  out.u32(layout.zip64 ? kSaturated : central.size());
  out.u32(layout.zip64 ? kSaturated : centralOffset);
  out.u16(layout.comment.size());
  out.text(layout.comment);
  return std::move(out.bytes());
}

ArchiveFault extractEntry(ZipArchive& archive, std::string_view bytes, const ZipEntry& entry,
                          std::string& content, uint64_t offset) {
  content.assign(static_cast<std::size_t>(entry.size), '\0');
  const ByteRange range = archive.dataRange(entry);
  const std::string_view read = bytes.substr(static_cast<std::size_t>(range.offset - offset),
                                             static_cast<std::size_t>(range.length));
  return archive.extract(entry, asBytes(read),
                         {reinterpret_cast<unsigned char*>(content.data()), content.size()});
}

std::string assemblePlan(std::span<const OutputPiece> pieces,
                         std::span<const unsigned char> newBytes, std::string_view original,
                         uint64_t offset) {
  std::string result;
  for (const OutputPiece& piece : pieces) {
    const auto length = static_cast<std::size_t>(piece.length);
    if (!piece.original) {
      result.append(reinterpret_cast<const char*>(newBytes.data() + piece.offset), length);
    } else if (piece.offset + piece.length > offset) {
      const uint64_t from = std::max(piece.offset, offset);
      result.append(original.substr(static_cast<std::size_t>(from - offset),
                                    static_cast<std::size_t>(piece.offset + piece.length - from)));
    }
  }
  return result;
}

std::string withoutAttributeValues(std::string_view xml) {
  XmlScanner scanner(xml);
  std::string kept;
  std::size_t copied = 0;
  for (;;) {
    const XmlScanner::Token token = scanner.next();
    if (token == XmlScanner::Token::kFinished) {
      return kept.append(xml.substr(copied));
    }
    if (token == XmlScanner::Token::kMalformed) {
      return "malformed";
    }
    if (token == XmlScanner::Token::kStart) {
      for (const XmlAttribute& attribute : scanner.attributes()) {
        kept.append(xml.substr(copied, attribute.valueOffset - copied));
        copied = attribute.valueOffset + attribute.valueLength;
      }
    }
  }
}

}  // namespace tunewright::testing
