#pragma once

// A directory of a test's own, for the files it reads and writes.

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include "preset_builder.h"

namespace tunewright::testing {

// A new, empty directory under the system's temporary directory for each test, removed with
// everything in it when the test ends.
class ScratchDirectory : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // The path of name, a relative path with slashes, in the directory.
  std::string path(const std::string& name) const;
  // Puts a file of exactly these bytes at name, replacing any there.
  void write(const std::string& name, std::string_view bytes) const;
  void write(const std::string& name, const Image& image) const;
  // The whole file at name; empty when there is none.
  std::string read(const std::string& name) const;
  // The names in the directory itself.
  std::set<std::string> names() const;

  std::filesystem::path root_;
};

}  // namespace tunewright::testing
