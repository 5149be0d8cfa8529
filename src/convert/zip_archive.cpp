// A project's ZIP archive: its structure read and checked from the ranges it asks for, the
// entries the upgrade reads inflated, and the new archive planned as pieces of the old one and
// new bytes.
//
// Every number is little-endian. The archive ends with the end of central directory record
// ("PK\5\6", 22 bytes and a comment), and where the numbers need more than 32 bits the ZIP64
// end record ("PK\6\6") and its locator ("PK\6\7", 20 bytes) stand right before it. The central
// directory holds one record per entry ("PK\1\2", 46 bytes, the name, extra fields, a comment),
// and each entry lies at its own offset as a local header ("PK\3\4", 30 bytes, the name, extra
// fields), its compressed data and, when flag bit 3 says so, a data descriptor. Numbers that do
// not fit 32 bits (16 for a disk) read 0xFFFFFFFF, and the ZIP64 extra field (ID 1) holds them,
// in order, each only where its field says so.

#include "convert/zip_archive.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "convert/compression.h"
#include "preset/preset_image.h"

namespace tunewright {

namespace {

constexpr uint32_t kEndSignature = 0x06054B50;
constexpr uint32_t kZip64EndSignature = 0x06064B50;
constexpr uint32_t kLocatorSignature = 0x07064B50;
constexpr uint32_t kCentralSignature = 0x02014B50;
constexpr uint32_t kLocalSignature = 0x04034B50;
constexpr uint32_t kDescriptorSignature = 0x08074B50;

constexpr int32_t kEndSize = 22;
constexpr int32_t kMaxComment = 0xFFFF;
constexpr int32_t kLocatorSize = 20;
constexpr int32_t kZip64EndSize = 56;
constexpr int32_t kCentralSize = 46;
constexpr int32_t kLocalSize = 30;
constexpr int32_t kLongestDescriptor = 24;

// The end record's fields.
constexpr int32_t kEndDisk = 4;
constexpr int32_t kEndCentralDisk = 6;
constexpr int32_t kEndDiskEntries = 8;
constexpr int32_t kEndEntries = 10;
constexpr int32_t kEndCentralSize = 12;
constexpr int32_t kEndCentralOffset = 16;
constexpr int32_t kEndCommentLength = 20;

// The locator's and the ZIP64 end record's.
constexpr int32_t kLocatorDisk = 4;
constexpr int32_t kLocatorOffset = 8;
constexpr int32_t kLocatorDisks = 16;
constexpr int32_t kZip64RecordSize = 4;
constexpr int32_t kZip64MadeBy = 12;
constexpr int32_t kZip64Needed = 14;
constexpr int32_t kZip64Disk = 16;
constexpr int32_t kZip64CentralDisk = 20;
constexpr int32_t kZip64DiskEntries = 24;
constexpr int32_t kZip64Entries = 32;
constexpr int32_t kZip64CentralSize = 40;
constexpr int32_t kZip64CentralOffset = 48;

// A central record's.
constexpr int32_t kCentralMadeBy = 4;
constexpr int32_t kCentralFlags = 8;
constexpr int32_t kCentralMethod = 10;
constexpr int32_t kCentralCrc = 16;
constexpr int32_t kCentralCompressed = 20;
constexpr int32_t kCentralUncompressed = 24;
constexpr int32_t kCentralNameLength = 28;
constexpr int32_t kCentralExtraLength = 30;
constexpr int32_t kCentralCommentLength = 32;
constexpr int32_t kCentralDiskStart = 34;
constexpr int32_t kCentralAttributes = 38;  // the external ones
constexpr int32_t kCentralHeaderOffset = 42;

// A local header's.
constexpr int32_t kLocalNeeded = 4;
constexpr int32_t kLocalFlags = 6;
constexpr int32_t kLocalMethod = 8;
constexpr int32_t kLocalTime = 10;  // with the date after it
constexpr int32_t kLocalCrc = 14;
constexpr int32_t kLocalCompressed = 18;
constexpr int32_t kLocalUncompressed = 22;
constexpr int32_t kLocalNameLength = 26;
constexpr int32_t kLocalExtraLength = 28;

constexpr uint16_t kEncrypted = 1 << 0;
constexpr uint16_t kHasDescriptor = 1 << 3;
constexpr uint16_t kStrongEncryption = 1 << 6;
constexpr uint16_t kUtf8Name = 1 << 11;
constexpr uint16_t kStored = 0;
constexpr uint16_t kDeflated = 8;

constexpr uint16_t kZip64ExtraId = 1;
constexpr uint32_t kSaturated32 = 0xFFFFFFFF;
constexpr uint16_t kSaturated16 = 0xFFFF;

// What a new archive's records say of their maker and entries, as Info-ZIP's zip says it: made
// on Unix by version 3.0, each needing 2.0 (4.5 with ZIP64 numbers), each a file readable by all.
constexpr uint16_t kMadeBy = (3 << 8) | 30;
constexpr uint16_t kNeeded = 20;
constexpr uint16_t kNeededZip64 = 45;
constexpr uint32_t kRegularFile = 0100644u << 16;

// The most of the structure read in one piece: the central directory, and the part of a ZIP64
// end record (its extensible data) that lies before the tail.
constexpr uint64_t kCentralLimit = 4 << 20;
constexpr uint64_t kZip64RecordLimit = 1 << 20;

// The tail holds the end record with the longest comment, the locator and a ZIP64 end record
// without extensible data.
constexpr uint64_t kTailLength = kEndSize + kMaxComment + kLocatorSize + kZip64EndSize;

// The size of the numbers a ZIP64 extra field holds, in its order: size, compressed size, local
// header offset, disk.
constexpr int32_t kZip64FieldSizes[] = {8, 8, 8, 4};

constexpr std::array<uint32_t, 256> makeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) {
      c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    }
    table[n] = c;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrcTable = makeCrcTable();

// An offset within the structure held: its parts are far smaller than 2 GiB.
int32_t at(uint64_t offset) {
  return static_cast<int32_t>(offset);
}

// Finds the ZIP64 extra field among the extra fields at extra (length bytes) and the place of
// each number it holds for the fields that read saturated, in its order; positions are relative
// to base. False when a saturated field's number is missing. Fields past one that overruns the
// rest are not looked at: some writers pad the extra fields with zeros.
bool findZip64Numbers(const unsigned char* base, int32_t extra, int32_t length,
                      std::span<const bool> saturated, std::span<int32_t> positions,
                      bool& present) {
  present = false;
  int32_t field = extra;
  const int32_t end = extra + length;
  while (field + 4 <= end) {
    const int32_t id = loadLittleEndian16(base, field);
    const int32_t size = loadLittleEndian16(base, field + 2);
    if (field + 4 + size > end) {
      break;
    }
    if (id == kZip64ExtraId) {
      present = true;
      int32_t number = field + 4;
      for (std::size_t i = 0; i < saturated.size(); ++i) {
        if (!saturated[i]) {
          continue;
        }
        if (number + kZip64FieldSizes[i] > field + 4 + size) {
          return false;
        }
        if (i < positions.size()) {
          positions[i] = number;
        }
        number += kZip64FieldSizes[i];
      }
      return true;
    }
    field += 4 + size;
  }
  return std::none_of(saturated.begin(), saturated.end(), [](bool s) { return s; });
}

// A number that is either in its 32-bit field or, where that reads saturated, at the ZIP64
// position given.
uint64_t wideNumber(const unsigned char* base, int32_t field, int32_t zip64Position) {
  return zip64Position >= 0 ? loadLittleEndian64(base, zip64Position)
                            : loadLittleEndian32(base, field);
}

// Stores a number where wideNumber reads it; false when it must go in 32 bits and does not fit.
bool storeWideNumber(unsigned char* base, int32_t field, int32_t zip64Position, uint64_t value) {
  if (zip64Position >= 0) {
    storeLittleEndian64(base, zip64Position, value);
    return true;
  }
  if (value >= kSaturated32) {
    return false;
  }
  storeLittleEndian32(base, field, static_cast<uint32_t>(value));
  return true;
}

void appendBytes(std::vector<unsigned char>& to, std::span<const unsigned char> bytes) {
  to.insert(to.end(), bytes.begin(), bytes.end());
}

// A number as a 32-bit field holds it: saturated when ZIP64 holds it instead.
uint32_t saturated32(uint64_t value) {
  return static_cast<uint32_t>(std::min<uint64_t>(value, kSaturated32));
}

}  // namespace

uint32_t zipCrc32(std::span<const unsigned char> bytes, uint32_t before) {
  uint32_t crc = before ^ 0xFFFFFFFFu;
  for (const unsigned char byte : bytes) {
    crc = kCrcTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

ZipArchive::ZipArchive(uint64_t size) {
  tailStart_ = size - std::min(size, kTailLength);
  pending_ = {tailStart_, size - tailStart_};
}

std::optional<ByteRange> ZipArchive::need() const {
  if (fault_ != ArchiveFault::kNone || ready_) {
    return std::nullopt;
  }
  return pending_;
}

void ZipArchive::refuse(ArchiveFault fault) {
  if (step_ == Step::kCentral) {
    entries_.clear();  // a central directory that does not hold together names nothing
  }
  fault_ = fault;
  step_ = Step::kDone;
}

void ZipArchive::supply(std::span<const unsigned char> bytes) {
  if (!need()) {
    return;
  }
  if (bytes.size() != pending_.length) {
    refuse(ArchiveFault::kDamaged);  // the archive is shorter than it was said to be
    return;
  }
  switch (step_) {
    case Step::kTail:
      readTail(bytes);
      break;
    case Step::kZip64Record:
      readZip64Record(bytes);
      break;
    case Step::kCentral:
      readCentral(bytes);
      break;
    case Step::kLocalHeader:
      readLocalHeader(bytes);
      break;
    case Step::kDone:
      break;
  }
}

// The end record is the last one whose comment reaches the end of the archive exactly.
void ZipArchive::readTail(std::span<const unsigned char> bytes) {
  tail_.assign(bytes.begin(), bytes.end());
  const int32_t length = at(tail_.size());
  endRecord_ = -1;
  for (int32_t record = length - kEndSize; record >= 0; --record) {
    if (loadLittleEndian32(tail_.data(), record) == kEndSignature &&
        record + kEndSize + loadLittleEndian16(tail_.data(), record + kEndCommentLength) ==
            length) {
      endRecord_ = record;
      break;
    }
  }
  if (endRecord_ < 0) {
    refuse(ArchiveFault::kNotZip);
    return;
  }
  const int32_t locator = endRecord_ - kLocatorSize;
  if (locator < 0 || loadLittleEndian32(tail_.data(), locator) != kLocatorSignature) {
    readEndRecords();
    return;
  }
  zip64Locator_ = locator;
  const uint64_t record = loadLittleEndian64(tail_.data(), locator + kLocatorOffset);
  if (loadLittleEndian32(tail_.data(), locator + kLocatorDisk) != 0 ||
      loadLittleEndian32(tail_.data(), locator + kLocatorDisks) > 1) {
    refuse(ArchiveFault::kUnsupported);
    return;
  }
  const uint64_t locatorAt = tailStart_ + static_cast<uint64_t>(locator);
  if (locatorAt < kZip64EndSize || record > locatorAt - kZip64EndSize) {
    refuse(ArchiveFault::kDamaged);
    return;
  }
  if (record >= tailStart_) {
    zip64Record_ = at(record - tailStart_);
    readEndRecords();
    return;
  }
  if (tailStart_ - record > kZip64RecordLimit) {
    refuse(ArchiveFault::kUnsupported);
    return;
  }
  step_ = Step::kZip64Record;
  pending_ = {record, tailStart_ - record};
}

// The start of a ZIP64 end record with extensible data long enough to begin before the tail.
void ZipArchive::readZip64Record(std::span<const unsigned char> bytes) {
  tail_.insert(tail_.begin(), bytes.begin(), bytes.end());
  const int32_t added = at(bytes.size());
  tailStart_ -= bytes.size();
  endRecord_ += added;
  zip64Locator_ += added;
  zip64Record_ = 0;
  readEndRecords();
}

// The numbers of the end records, which must agree, and a layout with nothing unaccounted for:
// the entries, the central directory, then the end records.
void ZipArchive::readEndRecords() {
  const unsigned char* tail = tail_.data();
  const int32_t end = endRecord_;
  uint64_t diskEntries = loadLittleEndian16(tail, end + kEndDiskEntries);
  entryCount_ = loadLittleEndian16(tail, end + kEndEntries);
  centralSize_ = loadLittleEndian32(tail, end + kEndCentralSize);
  centralOffset_ = loadLittleEndian32(tail, end + kEndCentralOffset);
  uint64_t disk = loadLittleEndian16(tail, end + kEndDisk);
  uint64_t centralDisk = loadLittleEndian16(tail, end + kEndCentralDisk);
  trailerStart_ = tailStart_ + static_cast<uint64_t>(end);
  if (zip64Record_ >= 0) {
    const int32_t record = zip64Record_;
    // Each number of the end record is the ZIP64 one, or saturated.
    const auto agrees = [](uint64_t field, uint64_t saturated, uint64_t wide) {
      return field == saturated || field == wide;
    };
    const uint64_t wideEntries = loadLittleEndian64(tail, record + kZip64Entries);
    const uint64_t wideDiskEntries = loadLittleEndian64(tail, record + kZip64DiskEntries);
    const uint64_t wideSize = loadLittleEndian64(tail, record + kZip64CentralSize);
    const uint64_t wideOffset = loadLittleEndian64(tail, record + kZip64CentralOffset);
    const uint64_t wideDisk = loadLittleEndian32(tail, record + kZip64Disk);
    const uint64_t wideCentralDisk = loadLittleEndian32(tail, record + kZip64CentralDisk);
    // The record's own size counts neither its signature nor that size.
    const auto recordSize = static_cast<uint64_t>(zip64Locator_ - record - 12);
    if (loadLittleEndian32(tail, record) != kZip64EndSignature ||
        loadLittleEndian64(tail, record + kZip64RecordSize) != recordSize ||
        !agrees(entryCount_, kSaturated16, wideEntries) ||
        !agrees(diskEntries, kSaturated16, wideDiskEntries) ||
        !agrees(centralSize_, kSaturated32, wideSize) ||
        !agrees(centralOffset_, kSaturated32, wideOffset) ||
        !agrees(disk, kSaturated16, wideDisk) ||
        !agrees(centralDisk, kSaturated16, wideCentralDisk)) {
      refuse(ArchiveFault::kDamaged);
      return;
    }
    entryCount_ = wideEntries;
    diskEntries = wideDiskEntries;
    centralSize_ = wideSize;
    centralOffset_ = wideOffset;
    disk = wideDisk;
    centralDisk = wideCentralDisk;
    trailerStart_ = tailStart_ + static_cast<uint64_t>(record);
  }
  if (disk != 0 || centralDisk != 0 || diskEntries != entryCount_) {
    refuse(ArchiveFault::kUnsupported);
    return;
  }
  if (centralOffset_ > trailerStart_ || trailerStart_ - centralOffset_ != centralSize_ ||
      entryCount_ > centralSize_ / kCentralSize) {
    refuse(ArchiveFault::kDamaged);
    return;
  }
  if (centralSize_ > kCentralLimit) {
    refuse(ArchiveFault::kUnsupported);
    return;
  }
  tail_.erase(tail_.begin(),
              tail_.begin() + static_cast<std::ptrdiff_t>(trailerStart_ - tailStart_));
  endRecord_ -= at(trailerStart_ - tailStart_);
  if (zip64Record_ >= 0) {
    zip64Locator_ -= zip64Record_;
    zip64Record_ = 0;
  }
  tailStart_ = trailerStart_;
  step_ = Step::kCentral;
  pending_ = {centralOffset_, centralSize_};
}

void ZipArchive::readCentral(std::span<const unsigned char> bytes) {
  central_.assign(bytes.begin(), bytes.end());
  const unsigned char* data = central_.data();
  const int32_t length = at(central_.size());
  int32_t record = 0;
  entries_.reserve(static_cast<std::size_t>(entryCount_));
  for (uint64_t i = 0; i < entryCount_; ++i) {
    if (record + kCentralSize > length || loadLittleEndian32(data, record) != kCentralSignature) {
      refuse(ArchiveFault::kDamaged);
      return;
    }
    const int32_t nameLength = loadLittleEndian16(data, record + kCentralNameLength);
    const int32_t extraLength = loadLittleEndian16(data, record + kCentralExtraLength);
    const int32_t recordEnd = record + kCentralSize + nameLength + extraLength +
                              loadLittleEndian16(data, record + kCentralCommentLength);
    if (recordEnd > length) {
      refuse(ArchiveFault::kDamaged);
      return;
    }
    ZipEntry entry;
    entry.record = record;
    entry.name.assign(reinterpret_cast<const char*>(data + record + kCentralSize),
                      static_cast<std::size_t>(nameLength));
    entry.flags = loadLittleEndian16(data, record + kCentralFlags);
    entry.method = loadLittleEndian16(data, record + kCentralMethod);
    entry.crc = loadLittleEndian32(data, record + kCentralCrc);
    const bool saturated[] = {
        loadLittleEndian32(data, record + kCentralUncompressed) == kSaturated32,
        loadLittleEndian32(data, record + kCentralCompressed) == kSaturated32,
        loadLittleEndian32(data, record + kCentralHeaderOffset) == kSaturated32,
        loadLittleEndian16(data, record + kCentralDiskStart) == kSaturated16};
    int32_t positions[4] = {-1, -1, -1, -1};
    bool present = false;
    if (!findZip64Numbers(data, record + kCentralSize + nameLength, extraLength, saturated,
                          positions, present)) {
      refuse(ArchiveFault::kDamaged);
      return;
    }
    const uint64_t diskStart = positions[3] >= 0
                                   ? loadLittleEndian32(data, positions[3])
                                   : loadLittleEndian16(data, record + kCentralDiskStart);
    if (diskStart != 0) {
      refuse(ArchiveFault::kUnsupported);
      return;
    }
    for (int32_t field = 0; field < 3; ++field) {
      entry.zip64Fields[field] = positions[field] < 0 ? -1 : positions[field] - record;
    }
    entry.size = wideNumber(data, record + kCentralUncompressed, positions[0]);
    entry.compressedSize = wideNumber(data, record + kCentralCompressed, positions[1]);
    entry.headerOffset = wideNumber(data, record + kCentralHeaderOffset, positions[2]);
    entries_.push_back(std::move(entry));
    record = recordEnd;
  }
  if (record != length) {
    refuse(ArchiveFault::kDamaged);  // something the entries do not account for
    return;
  }

  // In file order, each entry ends where the next begins, the last where the central
  // directory does; none may share or overrun another's place.
  fileOrder_.resize(entries_.size());
  for (std::size_t i = 0; i < fileOrder_.size(); ++i) {
    fileOrder_[i] = i;
  }
  std::sort(fileOrder_.begin(), fileOrder_.end(), [this](std::size_t a, std::size_t b) {
    return entries_[a].headerOffset < entries_[b].headerOffset;
  });
  for (std::size_t i = 0; i < fileOrder_.size(); ++i) {
    ZipEntry& entry = entries_[fileOrder_[i]];
    entry.end =
        i + 1 < fileOrder_.size() ? entries_[fileOrder_[i + 1]].headerOffset : centralOffset_;
    if (entry.headerOffset >= entry.end || entry.end - entry.headerOffset < kLocalSize) {
      refuse(ArchiveFault::kDamaged);
      return;
    }
  }
  step_ = Step::kLocalHeader;
  nextHeader_ = 0;
  nextLocalHeader();
}

// Asks for the next local header with its name, and for its extra fields once their length is
// known, so that no byte of the data is read with it.
void ZipArchive::nextLocalHeader() {
  if (nextHeader_ == fileOrder_.size()) {
    ready_ = true;
    step_ = Step::kDone;
    return;
  }
  const ZipEntry& entry = entries_[fileOrder_[nextHeader_]];
  pending_ = {entry.headerOffset,
              std::min<uint64_t>(kLocalSize + entry.name.size(), entry.end - entry.headerOffset)};
}

void ZipArchive::readLocalHeader(std::span<const unsigned char> bytes) {
  ZipEntry& entry = entries_[fileOrder_[nextHeader_]];
  const unsigned char* header = bytes.data();
  if (bytes.size() < kLocalSize || loadLittleEndian32(header, 0) != kLocalSignature) {
    refuse(ArchiveFault::kDamaged);
    return;
  }
  const int32_t nameLength = loadLittleEndian16(header, kLocalNameLength);
  const int32_t extraLength = loadLittleEndian16(header, kLocalExtraLength);
  const uint64_t length = static_cast<uint64_t>(kLocalSize + nameLength + extraLength);
  if (length > entry.end - entry.headerOffset) {
    refuse(ArchiveFault::kDamaged);
    return;
  }
  if (length > bytes.size()) {
    pending_ = {entry.headerOffset, length};
    return;
  }
  const uint16_t flags = loadLittleEndian16(header, kLocalFlags);
  const std::string_view name(reinterpret_cast<const char*>(header + kLocalSize),
                              static_cast<std::size_t>(nameLength));
  const bool saturated[] = {loadLittleEndian32(header, kLocalUncompressed) == kSaturated32,
                            loadLittleEndian32(header, kLocalCompressed) == kSaturated32};
  if (flags != entry.flags || loadLittleEndian16(header, kLocalMethod) != entry.method ||
      name != entry.name ||
      !findZip64Numbers(header, kLocalSize + nameLength, extraLength, saturated,
                        entry.localZip64Fields, entry.localZip64)) {
    refuse(ArchiveFault::kDamaged);
    return;
  }
  const bool deferred = (flags & kHasDescriptor) != 0;
  if (!deferred &&
      (loadLittleEndian32(header, kLocalCrc) != entry.crc ||
       wideNumber(header, kLocalUncompressed, entry.localZip64Fields[0]) != entry.size ||
       wideNumber(header, kLocalCompressed, entry.localZip64Fields[1]) != entry.compressedSize)) {
    refuse(ArchiveFault::kDamaged);
    return;
  }
  if (entry.compressedSize > entry.end - entry.headerOffset - length) {
    refuse(ArchiveFault::kDamaged);  // the data runs into the next entry
    return;
  }
  entry.localHeader.assign(header, header + length);
  ++nextHeader_;
  nextLocalHeader();
}

const ZipEntry* ZipArchive::find(std::string_view name, bool& several) const {
  const ZipEntry* found = nullptr;
  several = false;
  for (const ZipEntry& entry : entries_) {
    if (entry.name == name) {
      several = found != nullptr;
      if (several) {
        return nullptr;
      }
      found = &entry;
    }
  }
  return found;
}

ByteRange ZipArchive::dataRange(const ZipEntry& entry) const {
  const uint64_t start = entry.dataOffset();
  const uint64_t room = entry.end - start - entry.compressedSize;
  const uint64_t descriptor =
      (entry.flags & kHasDescriptor) == 0 ? 0 : std::min<uint64_t>(kLongestDescriptor, room);
  return {start, entry.compressedSize + descriptor};
}

ArchiveFault ZipArchive::extract(const ZipEntry& entry, std::span<const unsigned char> read,
                                 std::span<unsigned char> content) {
  ZipEntry& own = entries_[static_cast<std::size_t>(&entry - entries_.data())];
  if ((entry.flags & (kEncrypted | kStrongEncryption)) != 0 ||
      (entry.method != kStored && entry.method != kDeflated)) {
    return ArchiveFault::kUnsupported;
  }
  if (read.size() != dataRange(entry).length || content.size() != entry.size) {
    return ArchiveFault::kDamaged;
  }
  const auto data = read.first(static_cast<std::size_t>(entry.compressedSize));
  if (entry.method == kStored) {
    if (entry.compressedSize != entry.size) {
      return ArchiveFault::kDamaged;
    }
    std::copy(data.begin(), data.end(), content.begin());
  } else if (!inflateRaw(data, content)) {
    return ArchiveFault::kDamaged;
  }
  if (zipCrc32(content) != entry.crc) {
    return ArchiveFault::kDamaged;
  }
  if ((entry.flags & kHasDescriptor) == 0) {
    return ArchiveFault::kNone;
  }
  // The descriptor: its signature is optional, and a CRC that happens to read as one is told
  // from it by the numbers that follow.
  const auto descriptor = read.subspan(data.size());
  const bool wide = entry.localZip64;
  for (const bool withSignature : {true, false}) {
    const int32_t start = withSignature ? 4 : 0;
    const auto length = static_cast<std::size_t>(start + (wide ? 20 : 12));
    if (descriptor.size() < length ||
        (withSignature && loadLittleEndian32(descriptor.data(), 0) != kDescriptorSignature)) {
      continue;
    }
    const auto number = [&](int32_t index) -> uint64_t {
      return wide ? loadLittleEndian64(descriptor.data(), start + 4 + 8 * index)
                  : loadLittleEndian32(descriptor.data(), start + 4 + 4 * index);
    };
    if (loadLittleEndian32(descriptor.data(), start) == entry.crc &&
        number(0) == entry.compressedSize && number(1) == entry.size) {
      own.descriptorLength = static_cast<int32_t>(length);
      own.descriptorSigned = withSignature;
      return ArchiveFault::kNone;
    }
  }
  return ArchiveFault::kDamaged;
}

ArchiveFault ZipArchive::plan(std::span<const ZipReplacement> replacements,
                              std::vector<OutputPiece>& pieces,
                              std::vector<unsigned char>& newBytes) const {
  const auto addOriginal = [&](uint64_t offset, uint64_t length) {
    if (length == 0) {
      return;
    }
    if (!pieces.empty() && pieces.back().original &&
        pieces.back().offset + pieces.back().length == offset) {
      pieces.back().length += length;
    } else {
      pieces.push_back({true, offset, length});
    }
  };
  const auto addNew = [&](std::size_t from) {
    if (newBytes.size() > from) {
      pieces.push_back({false, from, newBytes.size() - from});
    }
  };
  const auto replacementOf = [&](const ZipEntry& entry) -> const ZipReplacement* {
    for (const ZipReplacement& replacement : replacements) {
      if (replacement.entry == &entry) {
        return &replacement;
      }
    }
    return nullptr;
  };

  // Each entry in file order, shifted by what the replaced ones before it grew or shrank.
  std::vector<uint64_t> newOffsets(entries_.size());
  std::vector<std::array<uint64_t, 3>> newNumbers(entries_.size());  // CRC, size, compressed
  int64_t shift = 0;
  addOriginal(0, fileOrder_.empty() ? centralOffset_ : entries_[fileOrder_[0]].headerOffset);
  for (const std::size_t index : fileOrder_) {
    const ZipEntry& entry = entries_[index];
    newOffsets[index] = entry.headerOffset + static_cast<uint64_t>(shift);
    const ZipReplacement* replacement = replacementOf(entry);
    if (replacement == nullptr) {
      addOriginal(entry.headerOffset, entry.end - entry.headerOffset);
      continue;
    }
    const std::span<const unsigned char> content = replacement->content;
    const uint32_t crc = zipCrc32(content);
    const std::size_t start = newBytes.size();
    appendBytes(newBytes, entry.localHeader);
    const std::size_t dataStart = newBytes.size();
    if (entry.method == kDeflated) {
      newBytes.resize(dataStart + deflateRoom(content.size()));
      const int64_t deflated = deflateRaw(content, std::span(newBytes).subspan(dataStart));
      if (deflated < 0) {
        return ArchiveFault::kUnsupported;
      }
      newBytes.resize(dataStart + static_cast<std::size_t>(deflated));
    } else {
      appendBytes(newBytes, content);
    }
    const uint64_t compressed = newBytes.size() - dataStart;
    newNumbers[index] = {crc, content.size(), compressed};

    // The local header's numbers made true, but those a data descriptor stands in for, which
    // stay zero as they were.
    unsigned char* header = newBytes.data() + start;
    const bool deferred = (entry.flags & kHasDescriptor) != 0;
    const auto keep = [&](uint64_t old) { return deferred && old == 0; };
    if (!keep(loadLittleEndian32(header, kLocalCrc))) {
      storeLittleEndian32(header, kLocalCrc, crc);
    }
    const std::pair<int32_t, uint64_t> sizes[] = {{kLocalUncompressed, content.size()},
                                                  {kLocalCompressed, compressed}};
    for (std::size_t i = 0; i < 2; ++i) {
      const auto [field, value] = sizes[i];
      const int32_t wide = entry.localZip64Fields[i];
      if (!keep(wideNumber(header, field, wide)) && !storeWideNumber(header, field, wide, value)) {
        return ArchiveFault::kNeedsZip64;
      }
    }
    if (entry.descriptorLength > 0) {
      const bool wide = entry.localZip64;
      if (!wide && (compressed >= kSaturated32 || content.size() >= kSaturated32)) {
        return ArchiveFault::kNeedsZip64;
      }
      unsigned char descriptor[kLongestDescriptor];
      int32_t length = 0;
      if (entry.descriptorSigned) {
        storeLittleEndian32(descriptor, 0, kDescriptorSignature);
        length = 4;
      }
      storeLittleEndian32(descriptor, length, crc);
      length += 4;
      for (const uint64_t value : {compressed, static_cast<uint64_t>(content.size())}) {
        if (wide) {
          storeLittleEndian64(descriptor, length, value);
          length += 8;
        } else {
          storeLittleEndian32(descriptor, length, static_cast<uint32_t>(value));
          length += 4;
        }
      }
      appendBytes(newBytes, std::span(descriptor, static_cast<std::size_t>(length)));
    }
    addNew(start);
    const uint64_t after =
        entry.dataOffset() + entry.compressedSize + static_cast<uint64_t>(entry.descriptorLength);
    addOriginal(after, entry.end - after);
    shift += static_cast<int64_t>(compressed) - static_cast<int64_t>(entry.compressedSize);
  }

  // The central directory, record for record, with the new offsets and numbers.
  const std::size_t centralStart = newBytes.size();
  appendBytes(newBytes, central_);
  for (std::size_t index = 0; index < entries_.size(); ++index) {
    const ZipEntry& entry = entries_[index];
    unsigned char* record = newBytes.data() + centralStart + static_cast<std::size_t>(entry.record);
    const int32_t* wide = entry.zip64Fields;
    if (!storeWideNumber(record, kCentralHeaderOffset, wide[2], newOffsets[index])) {
      return ArchiveFault::kNeedsZip64;
    }
    if (replacementOf(entry) == nullptr) {
      continue;
    }
    storeLittleEndian32(record, kCentralCrc, static_cast<uint32_t>(newNumbers[index][0]));
    if (!storeWideNumber(record, kCentralUncompressed, wide[0], newNumbers[index][1]) ||
        !storeWideNumber(record, kCentralCompressed, wide[1], newNumbers[index][2])) {
      return ArchiveFault::kNeedsZip64;
    }
  }
  addNew(centralStart);

  // The end records, with the central directory's new place.
  const std::size_t trailerStart = newBytes.size();
  appendBytes(newBytes, tail_);
  unsigned char* trailer = newBytes.data() + trailerStart;
  const uint64_t centralOffset = centralOffset_ + static_cast<uint64_t>(shift);
  const uint32_t endOffset = loadLittleEndian32(trailer, endRecord_ + kEndCentralOffset);
  if (zip64Record_ >= 0) {
    storeLittleEndian64(trailer, zip64Record_ + kZip64CentralOffset, centralOffset);
    storeLittleEndian64(trailer, zip64Locator_ + kLocatorOffset,
                        trailerStart_ + static_cast<uint64_t>(shift));
    if (endOffset != kSaturated32) {
      storeLittleEndian32(trailer, endRecord_ + kEndCentralOffset, saturated32(centralOffset));
    }
  } else if (!storeWideNumber(trailer, endRecord_ + kEndCentralOffset, -1, centralOffset)) {
    return ArchiveFault::kNeedsZip64;
  }
  addNew(trailerStart);
  return ArchiveFault::kNone;
}

bool StoredZipWriter::addEntry(std::string_view name, uint64_t size, uint32_t crc,
                               std::vector<unsigned char>& out) {
  if (name.size() > kSaturated16) {
    return false;
  }
  // The ZIP64 numbers, each only where its field reads saturated, in their order: size,
  // compressed size (the same: stored), local header offset. A local header holds the two
  // sizes or none.
  const uint64_t numbers[] = {size, size, offset_};
  const bool wide[] = {size >= kSaturated32, size >= kSaturated32, offset_ >= kSaturated32};
  const std::span<const bool> localWide = std::span(wide).first<2>();
  const auto extraLength = [](std::span<const bool> fields) {
    const auto count = std::count(fields.begin(), fields.end(), true);
    return static_cast<uint16_t>(count == 0 ? 0 : 4 + 8 * count);
  };
  const auto storeExtra = [&](unsigned char* extra, std::span<const bool> fields) {
    if (extraLength(fields) == 0) {
      return;
    }
    storeLittleEndian16(extra, 0, kZip64ExtraId);
    storeLittleEndian16(extra, 2, static_cast<uint16_t>(extraLength(fields) - 4));
    int32_t field = 4;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (fields[i]) {
        storeLittleEndian64(extra, field, numbers[i]);
        field += 8;
      }
    }
  };
  const uint16_t needed = wide[0] || wide[2] ? kNeededZip64 : kNeeded;
  const auto nameLength = static_cast<uint16_t>(name.size());

  // The fields a local header shares with its central record, where they lie two bytes
  // further on, after the version of the maker.
  const auto storeShared = [&](unsigned char* at, int32_t shift, std::span<const bool> fields) {
    storeLittleEndian16(at, kLocalNeeded + shift, needed);
    storeLittleEndian16(at, kLocalFlags + shift, kUtf8Name);
    storeLittleEndian16(at, kLocalMethod + shift, kStored);
    storeLittleEndian32(at, kLocalTime + shift, dosTime_);
    storeLittleEndian32(at, kLocalCrc + shift, crc);
    storeLittleEndian32(at, kLocalCompressed + shift, saturated32(size));
    storeLittleEndian32(at, kLocalUncompressed + shift, saturated32(size));
    storeLittleEndian16(at, kLocalNameLength + shift, nameLength);
    storeLittleEndian16(at, kLocalExtraLength + shift, extraLength(fields));
  };

  const std::size_t local = out.size();
  out.resize(local + kLocalSize + nameLength + extraLength(localWide));
  unsigned char* header = out.data() + local;
  storeLittleEndian32(header, 0, kLocalSignature);
  storeShared(header, 0, localWide);
  std::memcpy(header + kLocalSize, name.data(), nameLength);
  storeExtra(header + kLocalSize + nameLength, localWide);

  const std::size_t start = central_.size();
  central_.resize(start + kCentralSize + nameLength + extraLength(wide));
  unsigned char* record = central_.data() + start;
  storeLittleEndian32(record, 0, kCentralSignature);
  storeLittleEndian16(record, kCentralMadeBy, kMadeBy);
  storeShared(record, kCentralFlags - kLocalFlags, wide);
  storeLittleEndian32(record, kCentralAttributes, kRegularFile);
  storeLittleEndian32(record, kCentralHeaderOffset, saturated32(offset_));
  std::memcpy(record + kCentralSize, name.data(), nameLength);
  storeExtra(record + kCentralSize + nameLength, wide);

  offset_ += out.size() - local + size;
  ++count_;
  return true;
}

void StoredZipWriter::finish(std::vector<unsigned char>& out) const {
  appendBytes(out, central_);
  const uint64_t centralSize = central_.size();
  if (count_ >= kSaturated16 || centralSize >= kSaturated32 || offset_ >= kSaturated32) {
    unsigned char records[kZip64EndSize + kLocatorSize] = {};
    storeLittleEndian32(records, 0, kZip64EndSignature);
    storeLittleEndian64(records, kZip64RecordSize, kZip64EndSize - 12);  // what follows it
    storeLittleEndian16(records, kZip64MadeBy, kMadeBy);
    storeLittleEndian16(records, kZip64Needed, kNeededZip64);
    storeLittleEndian64(records, kZip64DiskEntries, count_);
    storeLittleEndian64(records, kZip64Entries, count_);
    storeLittleEndian64(records, kZip64CentralSize, centralSize);
    storeLittleEndian64(records, kZip64CentralOffset, offset_);
    unsigned char* locator = records + kZip64EndSize;
    storeLittleEndian32(locator, 0, kLocatorSignature);
    storeLittleEndian64(locator, kLocatorOffset, offset_ + centralSize);
    storeLittleEndian32(locator, kLocatorDisks, 1);
    appendBytes(out, records);
  }
  unsigned char end[kEndSize] = {};
  const auto count = static_cast<uint16_t>(std::min<uint64_t>(count_, kSaturated16));
  storeLittleEndian32(end, 0, kEndSignature);
  storeLittleEndian16(end, kEndDiskEntries, count);
  storeLittleEndian16(end, kEndEntries, count);
  storeLittleEndian32(end, kEndCentralSize, saturated32(centralSize));
  storeLittleEndian32(end, kEndCentralOffset, saturated32(offset_));
  appendBytes(out, end);
}

}  // namespace tunewright
