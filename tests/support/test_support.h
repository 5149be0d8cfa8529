#pragma once

// Helpers shared by the unit tests: configurable converters and scoped replacements of the
// program's global state.

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "app/options.h"
#include "convert/chain.h"
#include "convert/converter.h"
#include "convert/parameter_map.h"
#include "convert/registry.h"
#include "preset/preset_image.h"

namespace tunewright::testing {

// The map of a test converter that knows no parameters.
inline constexpr ParameterMap kNoParameters{};

// A converter with fixed IDs that accepts program images whose plug-in ID begins with the low
// byte of its source ID and converts by writing the low byte of its target ID there. It returns the
// length it was given, or the fixed result when one is set. Its parameter map is the one given,
// which it does not follow.
class FakeConverter final : public Converter {
 public:
  FakeConverter(FormatId source, FormatId target, const char* sourceName = "source",
                const char* targetName = "target", std::optional<int32_t> result = {},
                const ParameterMap& map = kNoParameters)
      : source_(source),
        target_(target),
        sourceName_(sourceName),
        targetName_(targetName),
        result_(result),
        map_(&map) {}
  FakeConverter(const FakeConverter&) = default;

  FormatId sourceId() const override { return source_; }
  FormatId targetId() const override { return target_; }
  const char* sourceName() const override { return sourceName_; }
  const char* targetName() const override { return targetName_; }
  bool accepts(int32_t length, const unsigned char* data) const override {
    return length >= kParamsOffset &&
           data[kFxIdOffset] == static_cast<unsigned char>(source_ & 0xFF);
  }
  int32_t convert(int32_t length, int32_t, unsigned char* data) const override {
    data[kFxIdOffset] = static_cast<unsigned char>(target_ & 0xFF);
    return result_.value_or(length);
  }
  const ParameterMap& parameterMap() const override { return *map_; }

 private:
  FormatId source_;
  FormatId target_;
  const char* sourceName_;
  const char* targetName_;
  std::optional<int32_t> result_;
  const ParameterMap* map_;
};

// Replaces sortedConverters for the lifetime of the object.
class ScopedConverters {
 public:
  explicit ScopedConverters(ConverterList converters) : saved_(std::move(sortedConverters)) {
    sortedConverters = std::move(converters);
  }
  ~ScopedConverters() { sortedConverters = std::move(saved_); }
  ScopedConverters(const ScopedConverters&) = delete;
  ScopedConverters& operator=(const ScopedConverters&) = delete;

 private:
  ConverterList saved_;
};

// The registered converter between two formats; fails the test when there is none.
inline const Converter& registeredConverter(FormatId source, FormatId target) {
  ConverterList registered;
  for (const Converter* converter : copyConverterRegistry(registered)) {
    if (converter->sourceId() == source && converter->targetId() == target) {
      return *converter;
    }
  }
  ADD_FAILURE() << "no converter " << source << " -> " << target;
  static const FakeConverter missing(source, target);
  return missing;
}

// Restores the options record when the test ends.
class ScopedOptions {
 public:
  ScopedOptions() : saved_(options) { options = Options{}; }
  ~ScopedOptions() { options = saved_; }
  ScopedOptions(const ScopedOptions&) = delete;
  ScopedOptions& operator=(const ScopedOptions&) = delete;

 private:
  Options saved_;
};

}  // namespace tunewright::testing
