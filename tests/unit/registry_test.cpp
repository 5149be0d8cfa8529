// Registering and unregistering converters.

#include "convert/registry.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "test_support.h"

namespace tunewright {
namespace {

using testing::FakeConverter;

ConverterList registered() {
  ConverterList list;
  return copyConverterRegistry(list);
}

TEST(Registry, AppendsInOrderAndRemovesTheFirstEqualEntry) {
  const ConverterList before = registered();
  const FakeConverter a(11, 12);
  const FakeConverter b(12, 13);
  registerConverter(&a);
  registerConverter(&b);
  registerConverter(&a);  // the same object twice is not refused
  ConverterList expected = before;
  expected.insert(expected.end(), {&a, &b, &a});
  EXPECT_EQ(registered(), expected);

  unregisterConverter(&a);
  expected = before;
  expected.insert(expected.end(), {&b, &a});
  EXPECT_EQ(registered(), expected);

  const FakeConverter stranger(1, 2);
  unregisterConverter(&stranger);  // not registered: ignored
  EXPECT_EQ(registered(), expected);

  unregisterConverter(&a);
  unregisterConverter(&b);
  EXPECT_EQ(registered(), before);
}

TEST(Registry, CopyReplacesTheWholeList) {
  const FakeConverter a(11, 12);
  ConverterList list = {&a, &a, &a};
  EXPECT_EQ(&copyConverterRegistry(list), &list);
  EXPECT_EQ(list, registered());
}

TEST(Registry, RefusesInvalidIds) {
  const ConverterList before = registered();
  for (const auto& [source, target] :
       {std::pair{0, 5}, std::pair{5, 0}, std::pair{-3, 5}, std::pair{5, -3}, std::pair{7, 7}}) {
    const FakeConverter invalid(source, target);
    try {
      registerConverter(&invalid);
      ADD_FAILURE() << source << " -> " << target << " was registered";
    } catch (const std::invalid_argument& error) {
      EXPECT_STREQ(error.what(), "Converter has invalid source and/or target ID.");
    }
    EXPECT_EQ(registered(), before);
  }
}

// A default-constructible converter, as the registrar holds one.
class RegistrarProbe final : public Converter {
 public:
  FormatId sourceId() const override { return 31; }
  FormatId targetId() const override { return 32; }
  const char* sourceName() const override { return "probe source"; }
  const char* targetName() const override { return "probe target"; }
  bool accepts(int32_t, const unsigned char*) const override { return false; }
  int32_t convert(int32_t, int32_t, unsigned char*) const override { return -1; }
  const ParameterMap& parameterMap() const override { return testing::kNoParameters; }
};

TEST(Registry, RegistrarRegistersForItsLifetime) {
  const ConverterList before = registered();
  {
    const ConverterRegistrar<RegistrarProbe> registrar;
    const ConverterList during = registered();
    ASSERT_EQ(during.size(), before.size() + 1);
    EXPECT_EQ(during.back()->sourceId(), 31);
  }
  EXPECT_EQ(registered(), before);
}

}  // namespace
}  // namespace tunewright
