// Recognising whole images, programs and banks, as hosts really save them.

#include "convert/upgrade.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/chain.h"
#include "preset_builder.h"

namespace tunewright {
namespace {

using testing::Image;
using testing::makeImage;

// The registered converters, as a run sees them.
class Upgrade : public ::testing::Test {
 protected:
  void SetUp() override { snapshotConverters(); }

  // Recognises the image in place; returns its source format, or 0 when it has none.
  static FormatId recognise(Image& image) {
    const Recognition recognition = recogniseImage(image.length(), image.bytes.data());
    return recognition.source == nullptr ? 0 : recognition.source->sourceId();
  }
};

Image withByteSize(Image image, int32_t value) {
  setByteSize(image.bytes.data(), value);
  return image;
}

TEST_F(Upgrade, ProgramsNeedTheirMagicAndAnUnfilledByteSizeIsFilledIn) {
  const Image v012 = makeImage("Tvla", 50);
  Image unfilled = withByteSize(v012, 0);
  EXPECT_EQ(recognise(unfilled), 1000102);
  EXPECT_EQ(unfilled.bytes, v012.bytes);

  // A 0.2.3 preset is told by its marker; counts that do not fit its length stay as they are.
  Image v023 = makeImage("Tvla", 54);
  v023.setParamBits(0, 0x3F0000CB);
  storeBigEndian32(v023.bytes.data(), kNumParamsOffset, 7);
  Image v023Unfilled = withByteSize(v023, 0);
  EXPECT_EQ(recognise(v023Unfilled), 1000203);
  EXPECT_EQ(byteSize(v023Unfilled.data()), 0);

  struct Miss {
    const char* what;
    int32_t offset;
    const char* bytes;
  };
  for (const Miss& miss : {Miss{"chunk magic", 0, "CcnX"}, Miss{"opaque chunk program", 8, "FPCh"},
                           Miss{"bank magic on a program", 8, "FxBk"}}) {
    Image image = withByteSize(v012, 0);
    std::memcpy(image.bytes.data() + miss.offset, miss.bytes, 4);
    const std::vector<unsigned char> before = image.bytes;
    EXPECT_EQ(recognise(image), 0) << miss.what;
    EXPECT_EQ(image.bytes, before) << miss.what << ": an unrecognised image is left untouched";
  }
  Image wrongSize = withByteSize(v012, 12);
  EXPECT_EQ(recognise(wrongSize), 0);
}

TEST_F(Upgrade, ABankRunsEveryProgramThroughTheChainAndKeepsItsHeader) {
  Image program = makeImage("Bskl", 6);
  program.setParam(5, 0.5f);
  Image bank = testing::makeBank({withByteSize(program, 0), program, program});
  storeBigEndian32(bank.bytes.data(), kBankVersionOffset, 2);
  storeBigEndian32(bank.bytes.data(), 28, 2);  // currentProgram
  setByteSize(bank.bytes.data(), 0);
  const Image original = bank;

  static ImageBuffer image;
  static ImageBuffer spare;
  std::memcpy(image.data(), bank.data(), bank.bytes.size());
  int32_t length = bank.length();
  const Recognition recognition = recogniseImage(length, image.data());
  ASSERT_NE(recognition.source, nullptr);
  EXPECT_TRUE(recognition.isBank);
  ConverterList chain;
  ASSERT_TRUE(buildChain(recognition.source->sourceId(), -1, chain));
  ASSERT_EQ(upgradeImage(chain, recognition, length, image, spare, nullptr),
            UpgradeOutcome::kUpgraded);

  ASSERT_EQ(length, kBankHeaderSize + 3 * presetLength(8));
  EXPECT_EQ(byteSize(image.data()), length - 8);
  EXPECT_EQ(std::memcmp(image.data() + 8, original.data() + 8, kBankHeaderSize - 8), 0);
  for (int32_t i = 0; i < 3; ++i) {
    const unsigned char* record = image.data() + kBankHeaderSize + i * presetLength(8);
    EXPECT_EQ(byteSize(record), presetLength(8) - 8) << i;
    EXPECT_EQ(numParams(record), 8) << i;
    EXPECT_EQ(loadFloat(parameterWord(record, 6)), 0.5f) << i;
    EXPECT_EQ(std::memcmp(record + 28, "Test preset", 11), 0) << i;
  }
}

// A step handed programs it does not take, as after a faulty step before it.
class RefusingStep final : public Converter {
 public:
  FormatId sourceId() const override { return 2000500; }
  FormatId targetId() const override { return 2000501; }
  const char* sourceName() const override { return "refusing"; }
  const char* targetName() const override { return "refusing"; }
  bool accepts(int32_t, const unsigned char*) const override { return false; }
  int32_t convert(int32_t, int32_t, unsigned char*) const override { return -1; }
};

TEST_F(Upgrade, ABankWhoseProgramsAStepRefusesIsAMismatchNotAFailure) {
  const Image bank = testing::makeBank({makeImage("Bskl", 6), makeImage("Bskl", 6)});
  static ImageBuffer image;
  static ImageBuffer spare;
  std::memcpy(image.data(), bank.data(), bank.bytes.size());
  int32_t length = bank.length();
  const Recognition recognition = recogniseImage(length, image.data());
  ASSERT_TRUE(recognition.isBank);
  const RefusingStep step;
  const ConverterList chain = {&step};
  EXPECT_EQ(upgradeImage(chain, recognition, length, image, spare, nullptr),
            UpgradeOutcome::kInputMismatch);
}

}  // namespace
}  // namespace tunewright
