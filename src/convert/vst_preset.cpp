// Presets saved by a host's own preset menu (.vstpreset): a container of chunks, one of which
// wraps a program file or a bank. That content goes through the road of a file of its own; the
// container around it is written again with every other byte as it was.
//
// Every number of the container is little-endian: "VST3", a version (1), a class ID of 32
// characters, the offset of the chunk list (64 bits), then the chunks' data from 48 on. The list
// ends the file: "List", a count, and per entry a four-character ID, an offset and a size (64
// bits each). The "Comp" chunk holds the wrapper: "VstW", then big-endian a header size (8), a
// version (1) and a bypass flag, then the program file or bank.

#include <cstring>

#include "convert/image_kinds.h"
#include "preset/preset_image.h"

namespace tunewright {

namespace {

constexpr int32_t kVersionOffset = 4;
constexpr int32_t kListOffsetField = 40;
constexpr int32_t kDataStart = 48;

constexpr int32_t kListHeaderSize = 8;  // "List" and the count
constexpr int32_t kEntrySize = 20;
constexpr int32_t kEntryOffsetField = 4;
constexpr int32_t kEntrySizeField = 12;

constexpr int32_t kWrapperSize = 16;  // "VstW", header size, version, bypass flag
constexpr int32_t kWrapperHeaderSizeOffset = 4;
constexpr int32_t kWrapperVersionOffset = 8;

// Where the chunks of a container lie. Read only from a list that tiles the data area exactly,
// so every position lies within the image.
struct Chunks {
  int32_t list = 0;  // the list's offset; the list ends the image
  int32_t comp = 0;  // the offset of the one "Comp" chunk
  int32_t compSize = 0;
};

// Reads the header and the list, in 64-bit arithmetic throughout: no offset, size or count can
// overflow it, and one past the image is refused before it is used. The entries must lie in
// order of offset, back to back from the start of the data area to the list, with exactly one
// "Comp" among them.
bool readChunks(int32_t length, const unsigned char* data, Chunks& chunks) {
  if (length < kDataStart + kListHeaderSize || length > kImageCapacity ||
      !hasTag(data, 0, "VST3") || loadLittleEndian32(data, kVersionOffset) != 1) {
    return false;
  }
  const uint64_t list = loadLittleEndian64(data, kListOffsetField);
  if (list < kDataStart || list > static_cast<uint64_t>(length - kListHeaderSize)) {
    return false;
  }
  chunks.list = static_cast<int32_t>(list);
  const int64_t count = static_cast<int32_t>(loadLittleEndian32(data, chunks.list + 4));
  if (!hasTag(data, chunks.list, "List") ||
      chunks.list + kListHeaderSize + kEntrySize * count != length) {
    return false;
  }
  int32_t comps = 0;
  uint64_t end = kDataStart;  // of the chunks so far, never past the list
  for (int32_t entry = chunks.list + kListHeaderSize; entry < length; entry += kEntrySize) {
    const uint64_t size = loadLittleEndian64(data, entry + kEntrySizeField);
    if (loadLittleEndian64(data, entry + kEntryOffsetField) != end || size > list - end) {
      return false;
    }
    if (hasTag(data, entry, "Comp")) {
      ++comps;
      chunks.comp = static_cast<int32_t>(end);
      chunks.compSize = static_cast<int32_t>(size);
    }
    end += size;
  }
  return end == list && comps == 1;
}

// The wrapper a host puts around a plug-in's program or bank. Its bypass flag may hold anything.
bool hasWrapper(const unsigned char* comp, int32_t size) {
  return size >= kWrapperSize && hasTag(comp, 0, "VstW") &&
         headerCountIs(comp, kWrapperHeaderSizeOffset, 8) &&
         headerCountIs(comp, kWrapperVersionOffset, 1);
}

}  // namespace

Recognition recogniseVstPreset(int32_t length, unsigned char* data) {
  Chunks chunks;
  if (!readChunks(length, data, chunks) || !hasWrapper(data + chunks.comp, chunks.compSize)) {
    return {};
  }
  const Recognition content =
      recogniseContent(chunks.compSize - kWrapperSize, data + chunks.comp + kWrapperSize);
  if (content.source == nullptr) {
    return {};
  }
  return {content.source, ImageKind::kVstPreset, content.content};
}

UpgradeOutcome applyStepToVstPreset(const Converter& step, ImageKind content, int32_t length,
                                    const unsigned char* from, unsigned char* to,
                                    int32_t& converted) {
  Chunks chunks;
  if (!readChunks(length, from, chunks)) {
    return UpgradeOutcome::kFailed;  // not a container this road recognised or wrote
  }
  // The header, the chunks before "Comp" and the wrapper stay as they are, and so does everything
  // after the content, only moved; the content may grow into what the rest leaves of the image.
  const int32_t start = chunks.comp + kWrapperSize;
  const int32_t contentLength = chunks.compSize - kWrapperSize;
  const int32_t after = chunks.comp + chunks.compSize;
  std::memcpy(to, from, static_cast<std::size_t>(start));
  int32_t contentConverted = 0;
  const UpgradeOutcome outcome =
      applyStepToContent(step, content, contentLength, from + start, to + start,
                         kImageCapacity - (length - contentLength), contentConverted);
  if (outcome != UpgradeOutcome::kUpgraded) {
    return outcome;
  }
  const int32_t shift = contentConverted - contentLength;
  std::memcpy(to + after + shift, from + after, static_cast<std::size_t>(length - after));
  converted = length + shift;

  // The list in its new place, its entries in their order, their offsets and sizes made true.
  const int32_t list = chunks.list + shift;
  storeLittleEndian64(to, kListOffsetField, static_cast<uint64_t>(list));
  uint64_t offset = kDataStart;
  for (int32_t entry = list + kListHeaderSize; entry < converted; entry += kEntrySize) {
    const uint64_t size = hasTag(to, entry, "Comp")
                              ? static_cast<uint64_t>(chunks.compSize + shift)
                              : loadLittleEndian64(to, entry + kEntrySizeField);
    storeLittleEndian64(to, entry + kEntryOffsetField, offset);
    storeLittleEndian64(to, entry + kEntrySizeField, size);
    offset += size;
  }
  return UpgradeOutcome::kUpgraded;
}

}  // namespace tunewright
