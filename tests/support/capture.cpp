// Capturing both standard streams around a call, through GoogleTest's capture.

#include "capture.h"

#include <gtest/gtest.h>

namespace tunewright::testing {

void startCapture() {
  ::testing::internal::CaptureStdout();
  ::testing::internal::CaptureStderr();
}

Output endCapture() {
  std::string out = ::testing::internal::GetCapturedStdout();
  return {std::move(out), ::testing::internal::GetCapturedStderr()};
}

}  // namespace tunewright::testing
