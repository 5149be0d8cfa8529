#pragma once

// Registering converters, and the registrar that holds each one for the whole run.

#include "convert/converter.h"

namespace tunewright {

// Appends the converter to the registry. Throws std::invalid_argument when its IDs are not both
// positive and distinct.
void registerConverter(const Converter* converter);

// Removes the first registry entry equal to the pointer; does nothing when there is none.
void unregisterConverter(const Converter* converter);

// Replaces the list's content with the registered converters, in registration order.
ConverterList& copyConverterRegistry(ConverterList& list);

// Holds one converter for the whole run: registers it during static initialisation and
// unregisters it at exit. Define one per concrete converter, in that converter's source file.
template <typename ConcreteConverter>
class ConverterRegistrar {
 public:
  ConverterRegistrar() { registerConverter(&converter_); }
  ~ConverterRegistrar() { unregisterConverter(&converter_); }
  ConverterRegistrar(const ConverterRegistrar&) = delete;
  ConverterRegistrar& operator=(const ConverterRegistrar&) = delete;

 private:
  ConcreteConverter converter_;
};

}  // namespace tunewright
