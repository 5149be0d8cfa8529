#pragma once

// The proof that a chain's parameter map says what its converters do, shared by the unit tests and
// the guide's test of an added converter.

#include <cstdint>

#include "convert/converter.h"

namespace tunewright::testing {

// Runs the chain over images of its first source layout made of random words (from seed: NaNs,
// infinities, negative, huge and in-range values among them) and fails the test unless the
// chain's composed map, applied to every parameter, gives each output word for word and accounts
// for every parameter of the target layout exactly once.
void expectMapMatchesChain(const ConverterList& chain, int32_t images, uint32_t seed);

}  // namespace tunewright::testing
