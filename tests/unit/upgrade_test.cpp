// Recognising whole images, programs and banks, as hosts really save them.

#include "convert/upgrade.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/chain.h"
#include "preset_builder.h"
#include "test_support.h"

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

  // Unfilled, so that recognition fills in byteSize and must take it back again.
  for (testing::NearMiss& miss :
       testing::nearMisses(withByteSize(v012, 0), testing::Misses::kFile)) {
    const std::vector<unsigned char> before = miss.image.bytes;
    EXPECT_EQ(recognise(miss.image), 0) << miss.what;
    EXPECT_EQ(miss.image.bytes, before) << miss.what << ": an unrecognised image is left untouched";
  }
}

// The banks no file can bring to recognition, so that the end-to-end near misses cannot show
// them: longer than any image (a file job reads no more than one byte past the capacity), and
// with no programs at all, which recognition must leave as it was too.
TEST_F(Upgrade, BanksPastTheCapacityOrWithoutProgramsAreRefusedAndLeftAlone) {
  const Image v012 = makeImage("Tvla", 50);
  Image empty = testing::makeBank({v012});
  empty.bytes.resize(kBankHeaderSize);
  storeBigEndian32(empty.bytes.data(), kNumProgramsOffset, 0);
  setByteSize(empty.bytes.data(), 0);
  struct Case {
    const char* what;
    Image bank;
    FormatId source;
  };
  const Case cases[] = {
      {"as many programs as fit", testing::makeBank(std::vector<Image>(4095, v012)), 1000102},
      {"one program more", testing::makeBank(std::vector<Image>(4096, v012)), 0},
      {"no programs, byteSize unfilled", empty, 0},
  };
  for (const Case& c : cases) {
    Image bank = c.bank;
    EXPECT_EQ(recognise(bank), c.source) << c.what;
    if (c.source == 0) {
      EXPECT_EQ(bank.bytes, c.bank.bytes) << c.what << ": an unrecognised image is left untouched";
    }
  }
}

// The bytes of upgraded banks are checked whole by the end-to-end tests; here, what they cannot
// reach: a step that refuses the programs a bank hands it, as after a faulty step before it. The
// bank is recognised by the shipped converter, and the chain asked for takes a second one from
// the same format, which takes no "Bskl" program.
TEST_F(Upgrade, ABankWhoseProgramsAStepRefusesIsAMismatchNotAFailure) {
  const Image bank = testing::makeBank({makeImage("Bskl", 6), makeImage("Bskl", 6)});
  const testing::FakeConverter refusing(2000500, 2000600);
  const testing::ScopedConverters converters(
      {&testing::registeredConverter(2000500, 2000501), &refusing});
  static ImageBuffer image;
  static ImageBuffer spare;
  std::memcpy(image.data(), bank.data(), bank.bytes.size());
  ConverterList chain;
  const Conversion conversion =
      recogniseAndUpgrade(bank.length(), 2000600, image, spare, chain, nullptr);
  EXPECT_EQ(conversion.recognition.kind, ImageKind::kBank);
  EXPECT_EQ(conversion.outcome, UpgradeOutcome::kInputMismatch);
}

}  // namespace
}  // namespace tunewright
