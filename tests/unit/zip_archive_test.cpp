// The archive of a project: reading its structure by ranges, its entries' data, and the plan of
// an archive with some entries replaced, against archives built independently.

#include "convert/zip_archive.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "convert/compression.h"
#include "project_builder.h"

namespace tunewright {
namespace {

using testing::extractEntry;
using testing::feedArchive;
using testing::makeZip;
using testing::ZipLayout;
using testing::ZipSource;

std::span<const unsigned char> bytesOf(std::string_view text) {
  return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

const ZipEntry* find(const ZipArchive& archive, std::string_view name) {
  bool several = false;
  return archive.find(name, several);
}

// Records the ranges a reader asks for on the way.
struct RecordingReader {
  ZipArchive& archive;
  std::vector<ByteRange> ranges;
  std::optional<ByteRange> need() {
    const auto range = archive.need();
    if (range) {
      ranges.push_back(*range);
    }
    return range;
  }
  void supply(std::span<const unsigned char> bytes) { archive.supply(bytes); }
};

std::vector<ZipSource> projectEntries(bool deflated, bool descriptor, const std::string& xml,
                                      const std::string& state) {
  return {{"metadata.xml", "<MetaData/>", deflated, descriptor},
          {"audio/loop.wav", std::string(3000, 'a'), false, false},
          {"project.xml", xml, deflated, descriptor},
          {"plugins/synth.fxp", state, deflated, descriptor}};
}

TEST(ZipCrc32, IsTheCrcOfZip) {
  EXPECT_EQ(zipCrc32(bytesOf("123456789")), 0xCBF43926u);
  EXPECT_EQ(zipCrc32(bytesOf("")), 0u);
  EXPECT_EQ(zipCrc32(bytesOf("6789"), zipCrc32(bytesOf("12345"))), 0xCBF43926u);
}

TEST(Compression, InflatesExactlyWhatWasDeflatedAndNoMore) {
  const std::string text(5000, 'x');
  std::vector<unsigned char> deflated(deflateRoom(text.size()));
  const int64_t length = deflateRaw(bytesOf(text), deflated);
  ASSERT_GT(length, 0);
  deflated.resize(static_cast<std::size_t>(length));
  std::vector<unsigned char> inflated(text.size());
  EXPECT_TRUE(inflateRaw(deflated, inflated));
  EXPECT_EQ(std::string(inflated.begin(), inflated.end()), text);
  // A stream that gives more than the room, or less, or is cut short, is refused.
  std::vector<unsigned char> small(text.size() - 1);
  std::vector<unsigned char> large(text.size() + 1);
  EXPECT_FALSE(inflateRaw(deflated, small));
  EXPECT_FALSE(inflateRaw(deflated, large));
  EXPECT_FALSE(inflateRaw(std::span(deflated).first(deflated.size() - 1), inflated));
  // Every byte value, which a deflate stream may hold, fits the room asked for.
  std::vector<unsigned char> noise(70000);
  for (std::size_t i = 0; i < noise.size(); ++i) {
    noise[i] = static_cast<unsigned char>((i * 2654435761u) >> 13);
  }
  std::vector<unsigned char> room(deflateRoom(noise.size()));
  EXPECT_GT(deflateRaw(noise, room), 0);
}

struct LayoutCase {
  const char* what;
  bool deflated;
  bool descriptor;
  bool zip64;
  const char* prefix;
  const char* comment;
  uint64_t offset;
};

// Replacing project.xml (longer) and the state (shorter) gives the archive that the new contents
// would have been written as: each entry as it was stored, descriptors, ZIP64 numbers, offsets
// and end records made true, everything else as it was. The audio is never read.
TEST(ZipArchive, PlanEqualsTheArchiveWrittenWithTheNewContents) {
  const LayoutCase cases[] = {
      {"deflated", true, false, false, "", "", 0},
      {"deflated with descriptors", true, true, false, "", "", 0},
      {"stored", false, false, false, "", "", 0},
      {"stored with descriptors", false, true, false, "", "", 0},
      {"ZIP64", true, false, true, "", "", 0},
      {"ZIP64 with descriptors", true, true, true, "", "", 0},
      {"a prefix and a comment", true, true, false, "#!stub\n", "made here", 0},
      {"ZIP64 past 4 GiB", false, false, true, "", "", 0x100000000},
  };
  const std::string oldXml = "<Project version=\"1.0\"><Vst2Plugin/></Project>";
  const std::string newXml = "<Project version=\"1.0\"><Vst2Plugin deviceID=\"12\"/></Project>";
  const std::string oldState(256, 's');
  const std::string newState(56, 't');
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.what);
    ZipLayout layout;
    layout.zip64 = c.zip64;
    layout.prefix = c.prefix;
    layout.comment = c.comment;
    layout.offset = c.offset;
    const uint64_t offset = c.offset;
    const std::string original =
        makeZip(projectEntries(c.deflated, c.descriptor, oldXml, oldState), layout);
    ZipArchive archive(offset + original.size());
    RecordingReader reader{archive, {}};
    feedArchive(reader, original, offset);
    ASSERT_TRUE(archive.ready());
    const ZipEntry* xml = find(archive, "project.xml");
    const ZipEntry* state = find(archive, "plugins/synth.fxp");
    const ZipEntry* audio = find(archive, "audio/loop.wav");
    ASSERT_TRUE(xml != nullptr && state != nullptr && audio != nullptr);
    // The tail, where the end record is looked for, may hold the last bytes of any entry.
    for (const ByteRange& range : std::span(reader.ranges).subspan(1)) {
      const bool clear = range.offset + range.length <= audio->dataOffset() ||
                         range.offset >= audio->dataOffset() + audio->compressedSize;
      EXPECT_TRUE(clear) << "read " << range.offset << "+" << range.length;
    }
    std::string content;
    ASSERT_EQ(extractEntry(archive, original, *xml, content, offset), ArchiveFault::kNone);
    EXPECT_EQ(content, oldXml);
    ASSERT_EQ(extractEntry(archive, original, *state, content, offset), ArchiveFault::kNone);
    EXPECT_EQ(content, oldState);

    const ZipReplacement replacements[] = {{xml, bytesOf(newXml)}, {state, bytesOf(newState)}};
    std::vector<OutputPiece> pieces;
    std::vector<unsigned char> newBytes;
    ASSERT_EQ(archive.plan(replacements, pieces, newBytes), ArchiveFault::kNone);
    EXPECT_EQ(testing::assemblePlan(pieces, newBytes, original, offset),
              makeZip(projectEntries(c.deflated, c.descriptor, newXml, newState), layout));
  }
}

// An archive without ZIP64 numbers whose central directory would move past 4 GiB.
TEST(ZipArchive, AGrowthPast32BitsWithoutZip64IsRefused) {
  const std::vector<ZipSource> entries = {{"project.xml", "<P/>", false, false}};
  ZipLayout layout;
  layout.offset = 0xFFFFFF00;
  const std::string original = makeZip(entries, layout);
  ZipArchive archive(layout.offset + original.size());
  feedArchive(archive, original, layout.offset);
  ASSERT_TRUE(archive.ready());
  const std::string longer(1000, ' ');
  const ZipReplacement replacement[] = {{find(archive, "project.xml"), bytesOf(longer)}};
  std::vector<OutputPiece> pieces;
  std::vector<unsigned char> newBytes;
  std::string content;
  ASSERT_EQ(extractEntry(archive, original, *replacement[0].entry, content, layout.offset),
            ArchiveFault::kNone);
  EXPECT_EQ(archive.plan(replacement, pieces, newBytes), ArchiveFault::kNeedsZip64);
}

// Where in an archive the record of a name lies: its local header, or its central record.
std::size_t localHeaderOf(const std::string& bytes, std::string_view name) {
  return bytes.find(name) - 30;
}
std::size_t centralRecordOf(const std::string& bytes, std::string_view name) {
  return bytes.rfind(name) - 46;
}

void putByte(std::string& bytes, std::size_t at, unsigned char value) {
  bytes[at] = static_cast<char>(value);
}

struct Damage {
  const char* what;
  void (*apply)(std::string& bytes);
  ArchiveFault structure;  // from reading the structure
  ArchiveFault entry;      // from extracting project.xml, when the structure was read
};

// What the reader must notice, each from one change to a sound archive of a stored project.xml
// and a deflated state.
TEST(ZipArchive, RefusesWhatDoesNotHoldTogether) {
  const Damage cases[] = {
      {"not a ZIP archive", [](std::string& b) { b = "<Project/>"; }, ArchiveFault::kNotZip,
       ArchiveFault::kNone},
      {"nothing", [](std::string& b) { b.clear(); }, ArchiveFault::kNotZip, ArchiveFault::kNone},
      {"a byte cut from the middle", [](std::string& b) { b.erase(100, 1); },
       ArchiveFault::kDamaged, ArchiveFault::kNone},
      {"a local name not the central one",
       [](std::string& b) { b[localHeaderOf(b, "project.xml") + 30] = 'P'; },
       ArchiveFault::kDamaged, ArchiveFault::kNone},
      {"a local method not the central one",
       [](std::string& b) { putByte(b, localHeaderOf(b, "project.xml") + 8, 8); },
       ArchiveFault::kDamaged, ArchiveFault::kNone},
      {"a local CRC not the central one",
       [](std::string& b) { b[localHeaderOf(b, "project.xml") + 14] ^= 1; }, ArchiveFault::kDamaged,
       ArchiveFault::kNone},
      {"two entries at one offset",
       [](std::string& b) {
         b.replace(centralRecordOf(b, "project.xml") + 42, 4,
                   b.substr(centralRecordOf(b, "metadata.xml") + 42, 4));
       },
       ArchiveFault::kDamaged, ArchiveFault::kNone},
      {"an entry on a second disk",
       [](std::string& b) { putByte(b, centralRecordOf(b, "project.xml") + 34, 1); },
       ArchiveFault::kUnsupported, ArchiveFault::kNone},
      {"an archive of two disks", [](std::string& b) { putByte(b, b.size() - 22 + 4, 1); },
       ArchiveFault::kUnsupported, ArchiveFault::kNone},
      {"a central directory one byte short",
       [](std::string& b) { b[b.size() - 22 + 12] = static_cast<char>(b[b.size() - 22 + 12] - 1); },
       ArchiveFault::kDamaged, ArchiveFault::kNone},
      {"its content changed", [](std::string& b) { b[b.find("<Project") + 1] = 'p'; },
       ArchiveFault::kNone, ArchiveFault::kDamaged},
      {"encrypted",
       [](std::string& b) {
         b[localHeaderOf(b, "project.xml") + 6] |= 1;
         b[centralRecordOf(b, "project.xml") + 8] |= 1;
       },
       ArchiveFault::kNone, ArchiveFault::kUnsupported},
      {"another method",
       [](std::string& b) {
         putByte(b, localHeaderOf(b, "project.xml") + 8, 12);
         putByte(b, centralRecordOf(b, "project.xml") + 10, 12);
       },
       ArchiveFault::kNone, ArchiveFault::kUnsupported},
      // Not read: whatever an entry the upgrade leaves alone holds.
      {"an unread entry's content changed",
       [](std::string& b) { b[b.find("<MetaData") + 1] = 'm'; }, ArchiveFault::kNone,
       ArchiveFault::kNone},
      {"an unread entry encrypted",
       [](std::string& b) {
         b[localHeaderOf(b, "metadata.xml") + 6] |= 1;
         b[centralRecordOf(b, "metadata.xml") + 8] |= 1;
       },
       ArchiveFault::kNone, ArchiveFault::kNone},
  };
  const std::string sound = makeZip({{"metadata.xml", "<MetaData/>", false, false},
                                     {"project.xml", "<Project version=\"1.0\"/>", false, false},
                                     {"plugins/a.fxp", std::string(100, 'z'), true, false}});
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    std::string bytes = sound;
    c.apply(bytes);
    ZipArchive archive(bytes.size());
    feedArchive(archive, bytes);
    EXPECT_EQ(archive.fault(), c.structure);
    if (archive.ready()) {
      std::string content;
      EXPECT_EQ(extractEntry(archive, bytes, *find(archive, "project.xml"), content), c.entry);
    }
  }
}

// A descriptor, and a deflated stream, that disagree with the central directory.
TEST(ZipArchive, RefusesDataThatDisagreesWithItsNumbers) {
  const std::string xml(2000, 'x');
  const std::string sound = makeZip({{"project.xml", xml, true, true}});
  const std::size_t descriptor = sound.find("PK\x07\x08");
  const std::size_t record = centralRecordOf(sound, "project.xml");
  const std::pair<const char*, std::size_t> cases[] = {
      {"its descriptor's CRC", descriptor + 4},
      {"its descriptor's size", descriptor + 12},
      {"the central size, as a bomb's would be", record + 24},
  };
  for (const auto& [what, at] : cases) {
    SCOPED_TRACE(what);
    std::string bytes = sound;
    bytes[at] = static_cast<char>(bytes[at] - 1);
    ZipArchive archive(bytes.size());
    feedArchive(archive, bytes);
    ASSERT_TRUE(archive.ready());
    std::string content;
    EXPECT_EQ(extractEntry(archive, bytes, *find(archive, "project.xml"), content),
              ArchiveFault::kDamaged);
  }
}

// An archive the writer made of entries whose content it never saw.
struct Written {
  std::map<uint64_t, std::string> pieces;  // the bytes it wrote, by offset; zeros elsewhere
  uint64_t size = 0;

  void put(std::string_view bytes) {
    if (pieces.empty() || pieces.rbegin()->first + pieces.rbegin()->second.size() != size) {
      pieces[size];
    }
    pieces.rbegin()->second.append(bytes);
    size += bytes.size();
  }
  std::vector<unsigned char> read(ByteRange range) const {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(range.length));
    for (const auto& [offset, piece] : pieces) {
      const uint64_t from = std::max(offset, range.offset);
      const uint64_t to = std::min(offset + piece.size(), range.offset + range.length);
      if (from < to) {
        std::copy(piece.begin() + static_cast<std::ptrdiff_t>(from - offset),
                  piece.begin() + static_cast<std::ptrdiff_t>(to - offset),
                  bytes.begin() + static_cast<std::ptrdiff_t>(from - range.offset));
      }
    }
    return bytes;
  }
};

// An entry named big.wav stands for a long recording: bigSize zeros, whose CRC is beside the
// point.
Written writeStored(const std::vector<ZipSource>& entries, uint64_t bigSize = 0) {
  StoredZipWriter writer(0x5A2E4C21);
  Written written;
  std::vector<unsigned char> out;
  for (const ZipSource& entry : entries) {
    const uint64_t size = entry.name == "big.wav" ? bigSize : entry.content.size();
    out.clear();
    EXPECT_TRUE(writer.addEntry(entry.name, size, zipCrc32(bytesOf(entry.content)), out));
    written.put({reinterpret_cast<const char*>(out.data()), out.size()});
    written.size += size - entry.content.size();
    written.put(entry.content);
  }
  out.clear();
  writer.finish(out);
  written.put({reinterpret_cast<const char*>(out.data()), out.size()});
  return written;
}

// The page's archive of several results is the builder's archive of the same stored entries.
TEST(StoredZipWriter, WritesWhatTheBuilderWrites) {
  const std::vector<ZipSource> entries = {
      {"205_Pad.fxp", std::string(300, 'p'), false, false},
      {"songs/R\xc3\xa9sum\xc3\xa9/205_Song.dawproject", "PK\x03\x04", false, false},
      {"empty", "", false, false}};
  const Written written = writeStored(entries);
  ASSERT_EQ(written.pieces.size(), 1u);
  EXPECT_EQ(written.pieces.begin()->second, makeZip(entries));
  std::vector<unsigned char> out;
  EXPECT_FALSE(StoredZipWriter(0).addEntry(std::string(0x10000, 'n'), 0, 0, out));
  EXPECT_TRUE(out.empty());
}

// Past 32 bits, read back: every entry where the writer put it, the one after the long
// recording whole.
TEST(StoredZipWriter, WritesZip64WhereANumberNeedsIt) {
  const std::pair<const char*, std::vector<ZipSource>> cases[] = {
      {"an entry past 4 GiB", {{"big.wav", "", false, false}, {"b.fxp", "after", false, false}}},
      {"65,535 entries", std::vector<ZipSource>(0xFFFF, {"e", "", false, false})},
  };
  for (const auto& [what, entries] : cases) {
    SCOPED_TRACE(what);
    const Written written = writeStored(entries, uint64_t{5} << 30);
    ZipArchive archive(written.size);
    while (const auto range = archive.need()) {
      archive.supply(written.read(*range));
    }
    ASSERT_TRUE(archive.ready());
    ASSERT_EQ(archive.entries().size(), entries.size());
    const ZipEntry& last = archive.entries().back();
    EXPECT_EQ(last.name, entries.back().name);
    std::vector<unsigned char> content(static_cast<std::size_t>(last.size));
    EXPECT_EQ(archive.extract(last, written.read(archive.dataRange(last)), content),
              ArchiveFault::kNone);
    EXPECT_EQ(std::string(content.begin(), content.end()), entries.back().content);
  }
}

}  // namespace
}  // namespace tunewright
