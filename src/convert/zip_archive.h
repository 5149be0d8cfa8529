#pragma once

// A project's ZIP archive, read without holding it: its structure from the ranges it asks for
// (the tail, the central directory, every local header), the data of the entries the upgrade
// reads checked and inflated, and the new archive planned as pieces, each a range of the
// original or new bytes, so that nothing else of it is ever read.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tunewright {

struct ByteRange {
  uint64_t offset = 0;
  uint64_t length = 0;
};

// One piece of a planned file: a range of the original archive, or of the plan's new bytes.
struct OutputPiece {
  bool original = true;
  uint64_t offset = 0;
  uint64_t length = 0;
};

// Why an archive cannot be read or written.
enum class ArchiveFault : int32_t {
  kNone,
  kNotZip,       // no end of central directory: not a ZIP archive at all
  kDamaged,      // its parts disagree, overlap, end early, or fail their CRC
  kUnsupported,  // encrypted, another method or several disks where it must be read, too big
  kNeedsZip64,   // the upgraded archive would need ZIP64 numbers the original has no room for
};

// An entry as the central directory gives it, with what its local header adds.
struct ZipEntry {
  std::string name;  // the stored bytes
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t size = 0;
  uint64_t headerOffset = 0;
  int32_t record = 0;  // where its record lies in the central directory
  // Where the record's ZIP64 extra holds each number, or -1: size, compressed size, offset.
  int32_t zip64Fields[3] = {-1, -1, -1};

  // From the local header, once read.
  std::vector<unsigned char> localHeader;
  int32_t localZip64Fields[2] = {-1, -1};  // size, compressed size
  bool localZip64 = false;  // a ZIP64 extra field: a data descriptor's sizes are 64 bits wide
  uint64_t end = 0;         // the next local header, or the central directory
  // From the data descriptor, once the data is read: its length (0 for none), and whether it
  // begins with its signature.
  int32_t descriptorLength = 0;
  bool descriptorSigned = false;

  uint64_t dataOffset() const { return headerOffset + localHeader.size(); }
};

// A new content for an entry the upgrade read: stored as the entry was, deflated or not.
struct ZipReplacement {
  const ZipEntry* entry;
  std::span<const unsigned char> content;
};

class ZipArchive {
 public:
  explicit ZipArchive(uint64_t size);

  // The next range of the structure to read, or none once it is read or refused.
  std::optional<ByteRange> need() const;
  // The bytes of the range asked for; fewer when the archive ended sooner.
  void supply(std::span<const unsigned char> bytes);

  ArchiveFault fault() const { return fault_; }
  bool ready() const { return ready_; }

  // Every entry, in the central directory's order, once the central directory is read (also
  // when a local header is then refused).
  std::span<const ZipEntry> entries() const { return entries_; }
  // The entry of that name; nullptr when there is none, or (several set) more than one.
  const ZipEntry* find(std::string_view name, bool& several) const;

  // Where an entry's data lies, with the data descriptor after it when it has one.
  ByteRange dataRange(const ZipEntry& entry) const;
  // Checks an entry's data as read from its dataRange and inflates it into content, which has
  // exactly its size: the encryption and method, the length, the data descriptor and the CRC.
  ArchiveFault extract(const ZipEntry& entry, std::span<const unsigned char> read,
                       std::span<unsigned char> content);

  // The archive with the given entries' contents replaced, as pieces in file order, their new
  // bytes appended to newBytes: every other entry and everything between them as it was, the
  // replaced ones with their own local header, true sizes and CRC and the data descriptor they
  // had, the central directory and end records with every number that moved made true.
  ArchiveFault plan(std::span<const ZipReplacement> replacements, std::vector<OutputPiece>& pieces,
                    std::vector<unsigned char>& newBytes) const;

 private:
  enum class Step { kTail, kZip64Record, kCentral, kLocalHeader, kDone };

  void readTail(std::span<const unsigned char> bytes);
  void readZip64Record(std::span<const unsigned char> bytes);
  void readCentral(std::span<const unsigned char> bytes);
  void readLocalHeader(std::span<const unsigned char> bytes);
  void readEndRecords();
  void refuse(ArchiveFault fault);
  void nextLocalHeader();

  Step step_ = Step::kTail;
  ArchiveFault fault_ = ArchiveFault::kNone;
  bool ready_ = false;
  ByteRange pending_;

  // The end of the archive from trailerStart_ (the ZIP64 end record, or the end record) on.
  std::vector<unsigned char> tail_;
  uint64_t tailStart_ = 0;
  uint64_t trailerStart_ = 0;
  int32_t endRecord_ = 0;      // in tail_
  int32_t zip64Record_ = -1;   // in tail_, or -1
  int32_t zip64Locator_ = -1;  // in tail_, or -1
  uint64_t entryCount_ = 0;
  uint64_t centralOffset_ = 0;
  uint64_t centralSize_ = 0;

  std::vector<unsigned char> central_;
  std::vector<ZipEntry> entries_;       // in the central directory's order
  std::vector<std::size_t> fileOrder_;  // entries_ by local header offset
  std::size_t nextHeader_ = 0;          // in fileOrder_
};

// The CRC-32 of a ZIP entry's content; given the CRC of the bytes before them, that of the two
// together, so that content too large to hold is taken a piece at a time.
uint32_t zipCrc32(std::span<const unsigned char> bytes, uint32_t before = 0);

// A new archive of stored entries, made a piece at a time so that no content is ever held: the
// page's download of several results. Each entry's size and CRC are known before its content
// goes out, so its local header holds them (no data descriptor); a number past 32 bits goes in
// a ZIP64 extra field, and a central directory past them in the ZIP64 end records.
class StoredZipWriter {
 public:
  // Every entry gets the time and date given, as MS-DOS packs them (the time in the low half).
  explicit StoredZipWriter(uint32_t dosTime) : dosTime_(dosTime) {}

  // Appends to out the local header of the next entry, whose name (UTF-8) and size bytes of
  // content with that CRC the caller puts right after it. False, with nothing appended, for a
  // name longer than an archive can hold.
  bool addEntry(std::string_view name, uint64_t size, uint32_t crc,
                std::vector<unsigned char>& out);
  // Appends the central directory and end records, which follow the last entry's content.
  void finish(std::vector<unsigned char>& out) const;

 private:
  uint32_t dosTime_;
  uint64_t offset_ = 0;  // of the next local header
  uint64_t count_ = 0;
  std::vector<unsigned char> central_;
};

}  // namespace tunewright
