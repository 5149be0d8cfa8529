// The registry every converter enters during static initialisation.

#include "convert/registry.h"

#include <algorithm>
#include <stdexcept>

namespace tunewright {

namespace {

// Constructed on first use, so it exists before the first registrar runs during static
// initialisation, and is destroyed only after the last registrar has unregistered at exit.
ConverterList& converterRegistry() {
  static ConverterList registry;
  return registry;
}

}  // namespace

void registerConverter(const Converter* converter) {
  const FormatId source = converter->sourceId();
  const FormatId target = converter->targetId();
  if (source <= 0 || target <= 0 || source == target) {
    throw std::invalid_argument("Converter has invalid source and/or target ID.");
  }
  converterRegistry().push_back(converter);
}

void unregisterConverter(const Converter* converter) {
  ConverterList& registry = converterRegistry();
  const auto found = std::find(registry.begin(), registry.end(), converter);
  if (found != registry.end()) {
    registry.erase(found);
  }
}

ConverterList& copyConverterRegistry(ConverterList& list) {
  list = converterRegistry();
  return list;
}

}  // namespace tunewright
