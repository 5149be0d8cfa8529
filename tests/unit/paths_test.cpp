// Joining paths and naming outputs, at the length limit.

#include "app/paths.h"

#include <gtest/gtest.h>

#include <string>

#include "test_support.h"

namespace tunewright {
namespace {

constexpr char kUntouched[] = "untouched";

struct JoinResult {
  bool made;
  std::string path;
};

JoinResult join(int32_t capacity, const std::string& directory, const std::string& name) {
  char out[1024];
  std::strcpy(out, kUntouched);
  const char* made = joinPath(capacity, out, directory.c_str(), name.c_str());
  EXPECT_TRUE(made == nullptr || made == out);
  return {made != nullptr, out};
}

JoinResult output(int32_t capacity, const char* prefix, const std::string& input) {
  char out[1024];
  std::strcpy(out, kUntouched);
  const char* made = makeOutputPath(capacity, out, prefix, input.c_str());
  EXPECT_TRUE(made == nullptr || made == out);
  return {made != nullptr, out};
}

TEST(JoinPath, AlwaysInsertsOneBackslash) {
  EXPECT_EQ(join(kMaxPath, ".", "x.fxp").path, ".\\x.fxp");
  EXPECT_EQ(join(kMaxPath, "a/", "x.fxp").path, "a/\\x.fxp");
  EXPECT_EQ(join(kMaxPath, "a\\", "*").path, "a\\\\*");
  EXPECT_EQ(join(kMaxPath, "", "").path, "\\");
}

TEST(JoinPath, RefusesWhatDoesNotFitAndLeavesTheBufferAlone) {
  // directory + backslash + name may use capacity - 1 characters.
  const std::string directory(250, 'd');
  EXPECT_TRUE(join(kMaxPath, directory, std::string(8, 'n')).made);           // 259 characters
  const JoinResult refused = join(kMaxPath, directory, std::string(9, 'n'));  // 260
  EXPECT_FALSE(refused.made);
  EXPECT_EQ(refused.path, kUntouched);
  EXPECT_EQ(join(kMaxPath, std::string(257, 'd'), "*").path.size(), 259u);  // search pattern
  EXPECT_FALSE(join(kMaxPath, std::string(258, 'd'), "*").made);
  for (const int32_t capacity : {0, -1, INT32_MIN, 1, 2}) {
    EXPECT_FALSE(join(capacity, "", "x").made) << capacity;
  }
  EXPECT_TRUE(join(3, "", "x").made);
}

TEST(MakeOutputPath, InsertsThePrefixBeforeTheFileName) {
  struct Case {
    const char* input;
    const char* expected;
  };
  for (const Case c :
       {Case{"x.fxp", "205_x.fxp"}, Case{"presets\\old.fxp", "presets\\205_old.fxp"},
        Case{"a/b\\c/x.fxp", "a/b\\c/205_x.fxp"}, Case{"a\\b/x.fxp", "a\\b/205_x.fxp"},
        Case{"dir/", "dir/205_"}, Case{"", "205_"}}) {
    EXPECT_EQ(output(kMaxPath, "205_", c.input).path, c.expected) << c.input;
  }
  EXPECT_EQ(output(kMaxPath, "new/", "d\\x.fxp").path, "d\\new/x.fxp");
}

TEST(MakeOutputPath, WithoutAPrefixTheOutputIsTheInputItself) {
  EXPECT_EQ(output(kMaxPath, nullptr, "d\\x.fxp").path, "d\\x.fxp");
  EXPECT_TRUE(output(kMaxPath, nullptr, std::string(259, 'x')).made);
  const JoinResult refused = output(kMaxPath, nullptr, std::string(260, 'x'));
  EXPECT_FALSE(refused.made);
  EXPECT_EQ(refused.path, kUntouched);
}

TEST(MakeOutputPath, PrefixAndInputTogetherMustFit) {
  EXPECT_EQ(output(kMaxPath, "205_", std::string(255, 'x')).path.size(), 259u);
  const JoinResult refused = output(kMaxPath, "205_", std::string(256, 'x'));
  EXPECT_FALSE(refused.made);
  EXPECT_EQ(refused.path, kUntouched);
  EXPECT_FALSE(output(0, "", "").made);
  EXPECT_TRUE(output(1, "", "").made);
}

}  // namespace
}  // namespace tunewright
