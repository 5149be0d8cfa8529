// Parameter insertion, removal and replacement against an independent reference.

#include "preset/parameter_editing.h"

#include <gtest/gtest.h>

#include "references.h"

#include <algorithm>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace tunewright {
namespace {

// Old items are the words 0, 1, 2, ... ("o0", "o1", ...); inserted values are 1000, 1001, ...
// ("V0", "V1", ...), so a result reads like "o0 o1 V0 o2".
constexpr uint32_t kFirstValue = 1000;

std::vector<uint32_t> oldItems(int32_t count, int32_t room) {
  std::vector<uint32_t> words(static_cast<std::size_t>(std::max(count, room)));
  for (std::size_t i = 0; i < words.size(); ++i) {
    words[i] = static_cast<uint32_t>(i);
  }
  return words;
}

std::vector<uint32_t> newValues(std::size_t n) {
  std::vector<uint32_t> values(n);
  for (std::size_t i = 0; i < n; ++i) {
    values[i] = kFirstValue + static_cast<uint32_t>(i);
  }
  return values;
}

unsigned char* bytes(std::vector<uint32_t>& words) {
  return reinterpret_cast<unsigned char*>(words.data());
}

std::string describe(const std::vector<uint32_t>& words, std::size_t count) {
  std::ostringstream text;
  for (std::size_t i = 0; i < count; ++i) {
    text << (i == 0 ? "" : " ");
    if (words[i] >= kFirstValue) {
      text << 'V' << words[i] - kFirstValue;
    } else {
      text << 'o' << words[i];
    }
  }
  return text.str();
}

// "o3..o6" expands to "o3 o4 o5 o6", to keep the expectations short.
std::string expand(const std::string& text) {
  std::istringstream tokens(text);
  std::ostringstream result;
  std::string token;
  const char* separator = "";
  while (tokens >> token) {
    const std::size_t dots = token.find("..");
    if (dots == std::string::npos) {
      result << separator << token;
    } else {
      const int last = std::stoi(token.substr(dots + 3));
      for (int i = std::stoi(token.substr(1, dots - 1)); i <= last; ++i) {
        result << separator << 'o' << i;
        separator = " ";
      }
    }
    separator = " ";
  }
  return result.str();
}

struct InsertCase {
  int32_t count;
  std::vector<int32_t> positions;
  std::string expected;
};

class InsertParameters : public ::testing::TestWithParam<InsertCase> {};

TEST_P(InsertParameters, MatchesTheWorkedTable) {
  const InsertCase& c = GetParam();
  const auto n = static_cast<int32_t>(c.positions.size());
  std::vector<uint32_t> words = oldItems(c.count, c.count + n);
  const std::vector<uint32_t> values = newValues(c.positions.size());
  EXPECT_EQ(insertParameters(c.count, bytes(words), n, c.positions.data(), values.data()),
            c.count + n);
  EXPECT_EQ(describe(words, static_cast<std::size_t>(c.count + n)), expand(c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Table, InsertParameters,
    ::testing::Values(
        InsertCase{50, {10, 36, 52}, "o0..o9 V0 o10..o34 V1 o35..o49 V2"},
        InsertCase{6, {2, 7}, "o0 o1 V0 o2 o3 o4 o5 V1"}, InsertCase{52, {0, 1}, "V0 V1 o0..o51"},
        InsertCase{5, {1, 2, 3}, "o0 V0 V1 V2 o1..o4"}, InsertCase{5, {5, 6, 7}, "o0..o4 V0 V1 V2"},
        InsertCase{3, {0, 2, 4, 5}, "V0 o0 V1 o1 V2 V3 o2"}, InsertCase{0, {0, 1}, "V0 V1"},
        InsertCase{4, {}, "o0..o3"}, InsertCase{0, {}, ""}));

struct RemoveCase {
  int32_t count;
  std::vector<int32_t> positions;
  std::string expected;
  std::string leftover;  // the words past the new end, as the moves leave them
};

class RemoveParameters : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(RemoveParameters, MatchesTheWorkedTableAndMovesOnlyWhatItMust) {
  const RemoveCase& c = GetParam();
  const auto n = static_cast<int32_t>(c.positions.size());
  std::vector<uint32_t> words = oldItems(c.count, c.count);
  EXPECT_EQ(removeParameters(c.count, bytes(words), n, c.positions.data()), c.count - n);
  EXPECT_EQ(describe(words, static_cast<std::size_t>(c.count - n)), expand(c.expected));
  const std::vector<uint32_t> tail(words.begin() + c.count - n, words.end());
  EXPECT_EQ(describe(tail, tail.size()), expand(c.leftover));
}

INSTANTIATE_TEST_SUITE_P(
    Table, RemoveParameters,
    ::testing::Values(RemoveCase{53, {52}, "o0..o51", "o52"},
                      RemoveCase{5, {1, 3}, "o0 o2 o4", "o3 o4"},
                      RemoveCase{6, {2, 3}, "o0 o1 o4 o5", "o4 o5"},
                      RemoveCase{5, {0}, "o1..o4", "o4"},
                      RemoveCase{8, {0, 2, 3, 7}, "o1 o4 o5 o6", "o4 o5 o6 o7"},
                      RemoveCase{2, {0, 1}, "", "o0 o1"}, RemoveCase{3, {}, "o0 o1 o2", ""},
                      RemoveCase{0, {}, "", ""}));

TEST(ReplaceParameters, RemovesThenInserts) {
  std::vector<uint32_t> words = oldItems(53, 54);
  const int32_t removed[] = {52};
  const int32_t inserted[] = {0, 1};
  const std::vector<uint32_t> values = newValues(2);
  EXPECT_EQ(replaceParameters(53, bytes(words), 1, removed, 2, inserted, values.data()), 54);
  EXPECT_EQ(describe(words, 54), expand("V0 V1 o0..o51"));

  words = oldItems(6, 6);
  const int32_t removed2[] = {1, 4};
  const int32_t inserted2[] = {0, 5};
  EXPECT_EQ(replaceParameters(6, bytes(words), 2, removed2, 2, inserted2, values.data()), 6);
  EXPECT_EQ(describe(words, 6), "V0 o0 o2 o3 o5 V1");
}

TEST(ParameterEditing, AgreesWithANaiveReferenceOnRandomEdits) {
  std::mt19937 random(20261208);
  auto pickPositions = [&](int32_t n, int32_t range) {
    std::vector<int32_t> all(static_cast<std::size_t>(range));
    for (int32_t i = 0; i < range; ++i) {
      all[static_cast<std::size_t>(i)] = i;
    }
    std::shuffle(all.begin(), all.end(), random);
    all.resize(static_cast<std::size_t>(n));
    std::sort(all.begin(), all.end());
    return all;
  };
  for (int trial = 0; trial < 5000; ++trial) {
    const auto count = static_cast<int32_t>(random() % 70);
    const auto inserted = static_cast<int32_t>(random() % 12);
    const auto removed = static_cast<int32_t>(random() % static_cast<uint32_t>(count + 1));
    const std::vector<int32_t> insertAt = pickPositions(inserted, count - removed + inserted);
    const std::vector<int32_t> removeAt = pickPositions(removed, count);
    const std::vector<uint32_t> values = newValues(static_cast<std::size_t>(inserted));

    const std::vector<uint32_t> expected =
        reference::replaceParameters(oldItems(count, count), removeAt, insertAt, values);
    std::vector<uint32_t> words = oldItems(count, count + inserted);
    const int32_t result = replaceParameters(count, bytes(words), removed, removeAt.data(),
                                             inserted, insertAt.data(), values.data());
    ASSERT_EQ(result, static_cast<int32_t>(expected.size()));
    words.resize(expected.size());
    ASSERT_EQ(words, expected) << "trial " << trial << ": " << count << " items";
  }
}

}  // namespace
}  // namespace tunewright
