#pragma once

// What the fuzz targets share: an invariant check that stops the run with a message.

#include <cstdio>
#include <cstdlib>

namespace tunewright::fuzz {

inline void require(bool holds, const char* invariant) {
  if (!holds) {
    std::fprintf(stderr, "invariant broken: %s\n", invariant);
    std::abort();
  }
}

}  // namespace tunewright::fuzz
