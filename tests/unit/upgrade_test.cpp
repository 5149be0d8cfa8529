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

// The bytes of upgraded banks are checked whole by the end-to-end tests; here, what they cannot
// reach: a step that refuses the programs a bank hands it, as after a faulty step before it.
TEST_F(Upgrade, ABankWhoseProgramsAStepRefusesIsAMismatchNotAFailure) {
  const Image bank = testing::makeBank({makeImage("Bskl", 6), makeImage("Bskl", 6)});
  static ImageBuffer image;
  static ImageBuffer spare;
  std::memcpy(image.data(), bank.data(), bank.bytes.size());
  int32_t length = bank.length();
  const Recognition recognition = recogniseImage(length, image.data());
  ASSERT_EQ(recognition.kind, ImageKind::kBank);
  const testing::FakeConverter step(2000500, 2000501);  // takes no "Bskl" program
  const ConverterList chain = {&step};
  EXPECT_EQ(runChain(chain, recognition, length, image, spare, nullptr),
            UpgradeOutcome::kInputMismatch);
}

}  // namespace
}  // namespace tunewright
