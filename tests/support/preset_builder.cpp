// Preset images for the tests: programs, banks, and the near misses of a program.

#include "preset_builder.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace tunewright::testing {

Image makeImage(const char (&fxId)[5], int32_t count) {
  Image image;
  image.bytes.assign(static_cast<std::size_t>(presetLength(count)), 0);
  unsigned char* data = image.bytes.data();
  std::memcpy(data, "CcnK", 4);
  storeWord(data + kByteSizeOffset, bigEndian32(static_cast<uint32_t>(presetLength(count) - 8)));
  std::memcpy(data + 8, "FxCk", 4);
  storeWord(data + 12, bigEndian32(1));
  std::memcpy(data + kFxIdOffset, fxId, 4);
  storeWord(data + 20, bigEndian32(1));
  storeWord(data + kNumParamsOffset, bigEndian32(static_cast<uint32_t>(count)));
  std::memcpy(data + 28, "Test preset", 11);
  return image;
}

Image makeBank(const std::vector<Image>& programs) {
  Image bank;
  bank.bytes.assign(static_cast<std::size_t>(kBankHeaderSize), 0);
  std::memcpy(bank.bytes.data(), "CcnK", 4);
  std::memcpy(bank.bytes.data() + kFxMagicOffset, "FxBk", 4);
  storeBigEndian32(bank.bytes.data(), kBankVersionOffset, 1);
  std::memcpy(bank.bytes.data() + kFxIdOffset, programs.front().data() + kFxIdOffset, 4);
  storeBigEndian32(bank.bytes.data(), kNumProgramsOffset, static_cast<uint32_t>(programs.size()));
  for (const Image& program : programs) {
    bank.bytes.insert(bank.bytes.end(), program.bytes.begin(), program.bytes.end());
  }
  setByteSize(bank.bytes.data(), bank.length() - 8);
  return bank;
}

Image makeVstPreset(const std::vector<unsigned char>& content) {
  static constexpr char kInfo[] = "<?xml version=\"1.0\"?><MetaInfo/>";
  const int64_t compSize = 16 + static_cast<int64_t>(content.size());
  const int64_t infoSize = sizeof kInfo - 1;
  const std::pair<const char*, int64_t> chunks[] = {
      {"Comp", compSize}, {"Cont", 0}, {"Info", infoSize}};
  const int64_t list = 48 + compSize + infoSize;
  Image container;
  container.bytes.assign(static_cast<std::size_t>(list + 8 + 20 * 3), 0);
  unsigned char* at = container.bytes.data();
  const auto put = [&at](const void* data, std::size_t size) {
    if (size != 0) {  // an empty content's data may be null
      std::memcpy(at, data, size);
      at += size;
    }
  };
  const auto putLittleEndian = [&at](int64_t value, int32_t size) {
    for (int32_t i = 0; i < size; ++i) {
      *at++ = static_cast<unsigned char>(static_cast<uint64_t>(value) >> (8 * i));
    }
  };
  put("VST3", 4);
  putLittleEndian(1, 4);
  put("00000000000000000000000000000000", 32);
  putLittleEndian(list, 8);
  put("VstW", 4);
  for (const uint32_t word : {8u, 1u, 0u}) {
    const uint32_t bigEndian = bigEndian32(word);
    put(&bigEndian, 4);
  }
  put(content.data(), content.size());
  put(kInfo, static_cast<std::size_t>(infoSize));
  put("List", 4);
  putLittleEndian(3, 4);
  int64_t offset = 48;
  for (const auto& [id, size] : chunks) {
    put(id, 4);
    putLittleEndian(offset, 8);
    putLittleEndian(size, 8);
    offset += size;
  }
  return container;
}

// The header but byteSize (4..8), fxID (16..20) and numParams (24..28): the fields a converter
// reads. fxID is left as it is, or the image would no longer be the layout it was.
void scribbleUninterpretedHeader(Image& image) {
  for (const auto& [from, to] :
       {std::pair{0, 4}, std::pair{8, 16}, std::pair{20, 24}, std::pair{28, 56}}) {
    for (int i = from; i < to; ++i) {
      image.bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(0xA0 + i);
    }
  }
}

// The scribbled ranges and fxID as well: a converter reads fxID but must not change it, while it
// raises byteSize and numParams.
bool sameUninterpretedHeader(const Image& a, const Image& b) {
  for (const auto& [from, to] :
       {std::pair{0, 4}, std::pair{8, 16}, std::pair{16, 24}, std::pair{28, 56}}) {
    if (std::memcmp(a.data() + from, b.data() + from, static_cast<std::size_t>(to - from)) != 0) {
      return false;
    }
  }
  return true;
}

std::vector<NearMiss> nearMisses(const Image& program, Misses misses) {
  std::vector<NearMiss> found;
  const auto add = [&](const char* what, auto change) {
    NearMiss miss{what, program};
    change(miss.image.bytes);
    if (miss.image.bytes != program.bytes) {
      found.push_back(std::move(miss));
    }
  };
  const auto swapped = [](int32_t offset) {
    return [offset](std::vector<unsigned char>& bytes) {
      std::reverse(bytes.begin() + offset, bytes.begin() + offset + 4);
    };
  };
  const auto tagged = [](int32_t offset, const char(&tag)[5]) {
    return [offset, &tag](std::vector<unsigned char>& bytes) {
      std::memcpy(bytes.data() + offset, tag, 4);
    };
  };
  add("a byte short", [](std::vector<unsigned char>& bytes) { bytes.resize(bytes.size() - 1); });
  add("a byte long", [](std::vector<unsigned char>& bytes) { bytes.push_back(0); });
  add("another plug-in", [](std::vector<unsigned char>& bytes) { bytes[kFxIdOffset + 3] ^= 0x20; });
  add("byteSize little-endian", swapped(kByteSizeOffset));
  add("numParams little-endian", swapped(kNumParamsOffset));
  add("byteSize a word more", [](std::vector<unsigned char>& bytes) {
    setByteSize(bytes.data(), byteSize(bytes.data()) + kWordSize);
  });
  if (misses == Misses::kFile) {
    add("chunk magic", tagged(kChunkMagicOffset, "CcnX"));
    add("opaque chunk program", tagged(kFxMagicOffset, "FPCh"));
    add("bank magic on a program", tagged(kFxMagicOffset, "FxBk"));
  }
  return found;
}

}  // namespace tunewright::testing
