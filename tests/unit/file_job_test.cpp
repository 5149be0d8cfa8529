// The file job with test converters, for the failures the shipped converters never produce.

#include "app/file_job.h"

#include <gtest/gtest.h>

#include <string>

#include "capture.h"
#include "preset/preset_image.h"
#include "preset_builder.h"
#include "scratch_directory.h"
#include "test_support.h"

namespace tunewright {
namespace {

using testing::FakeConverter;
using testing::ScopedConverters;

class FileJob : public testing::ScratchDirectory {
 protected:
  void SetUp() override {
    ScratchDirectory::SetUp();
    // A program without parameters whose plug-in ID starts with 0x01, the test converters' key.
    write("in.fxp", testing::makeImage("\x01Tst", 0));
    input_ = path("in.fxp");
  }

  struct Outcome {
    bool goesOn;
    std::string out;
    std::string err;
  };

  Outcome run() {
    platform::Directory directory;
    const char* name = directory.openParentOf(input_.c_str());
    auto job = testing::capture([&] {
      return processPresetFile({directory, name, platform::EntryKind::kUnknown, input_.c_str()});
    });
    return {job.result, job.out, job.err};
  }

  std::size_t filesWritten() const { return names().size() - 1; }

  testing::ScopedOptions options_;
  std::string input_;
};

TEST_F(FileJob, AResultPastTheCapacityOrBelowOneIsAFailedConversion) {
  for (const int32_t result : {kProgramCapacity + 1, INT32_MAX, 0, -1, INT32_MIN}) {
    const FakeConverter broken(1, 2, "one", "two", result);
    const ScopedConverters scope({&broken});
    const Outcome outcome = run();
    EXPECT_FALSE(outcome.goesOn) << result;
    EXPECT_EQ(outcome.err, "Error 2: Conversion failed: " + input_ + "\n");
    EXPECT_EQ(filesWritten(), 0u);
  }
}

// Converts 1 -> 2 but leaves an image that the 2 -> 3 step does not accept.
class WrongOutput final : public Converter {
 public:
  FormatId sourceId() const override { return 1; }
  FormatId targetId() const override { return 2; }
  const char* sourceName() const override { return "one"; }
  const char* targetName() const override { return "two"; }
  bool accepts(int32_t, const unsigned char* data) const override { return data[kFxIdOffset] == 1; }
  int32_t convert(int32_t length, int32_t, unsigned char* data) const override {
    data[kFxIdOffset] = 0x7F;
    return length;
  }
  const ParameterMap& parameterMap() const override { return testing::kNoParameters; }
};

TEST_F(FileJob, AStepThatDoesNotAcceptTheImageEndsTheJobWithoutAFinalDump) {
  const WrongOutput first;
  const FakeConverter second(2, 3, "two", "three");
  const ScopedConverters scope({&first, &second});
  options.verbosity = 2;
  options.errorLevel = 3;
  const Outcome outcome = run();
  EXPECT_TRUE(outcome.goesOn);
  EXPECT_EQ(outcome.out, "Loading data file: " + input_ + "\none -> two\ntwo -> three\n");
  EXPECT_EQ(outcome.err, "Error 2: Converter input does not match source format: " + input_ + "\n");
  EXPECT_EQ(filesWritten(), 0u);
}

TEST_F(FileJob, TheFirstAcceptingConverterInSortedOrderRecognisesTheImage) {
  // Both accept the image; the one sorted first decides the source format.
  const FakeConverter toTwo(1, 2, "one", "two");
  const FakeConverter alsoOne(257, 258, "also one", "also two");
  const ScopedConverters scope({&toTwo, &alsoOne});
  options.verbosity = 2;
  const Outcome outcome = run();
  EXPECT_TRUE(outcome.goesOn);
  EXPECT_EQ(outcome.out, "Loading data file: " + input_ + "\none -> two\n");
  EXPECT_EQ(filesWritten(), 1u);
  EXPECT_TRUE(names().contains("2_in.fxp"));
}

}  // namespace
}  // namespace tunewright
