#pragma once

// The interface every converter implements: one step between two preset layouts.

#include <cstdint>
#include <vector>

namespace tunewright {

struct ParameterMap;

// A signed 32-bit number naming one preset layout: product * 1,000,000 + version code.
using FormatId = int32_t;

// The version code of a format, m * 100 + p for version 0.m.p: 205 for 1000205.
constexpr int32_t versionCode(FormatId format) {
  return format % 1000000;
}

// One step between two consecutive preset layouts. Concrete converters are stateless objects of
// static storage duration; they are never deleted through this interface.
class Converter {
 public:
  virtual FormatId sourceId() const = 0;
  virtual FormatId targetId() const = 0;
  virtual const char* sourceName() const = 0;
  virtual const char* targetName() const = 0;
  // True when the image is exactly of this converter's source layout. Never changes the image.
  virtual bool accepts(int32_t length, const unsigned char* data) const = 0;
  // Rewrites an image that accepts() admitted, in place. Returns the new length, or -1 with the
  // image untouched when the result would not fit in capacity bytes.
  virtual int32_t convert(int32_t length, int32_t capacity, unsigned char* data) const = 0;
  // Where each parameter of the source layout goes in the target layout, and how its value
  // changes: what convert does to every parameter, stated as data (convert/parameter_map.h).
  virtual const ParameterMap& parameterMap() const = 0;

 protected:
  Converter() = default;
  Converter(const Converter&) = default;
  Converter& operator=(const Converter&) = default;
  ~Converter() = default;
};

// Ordered, non-owning list of converters.
using ConverterList = std::vector<const Converter*>;

}  // namespace tunewright
