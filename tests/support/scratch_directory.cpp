// The scratch directory fixture: made fresh under a random name, removed whole.

#include "scratch_directory.h"

#include <fstream>
#include <iterator>
#include <random>

namespace tunewright::testing {

namespace fs = std::filesystem;

void ScratchDirectory::SetUp() {
  // A name no other test, of this run or of another at the same time, holds: making the
  // directory fails for a name that is taken, and then the next is tried.
  std::random_device random;
  for (;;) {
    const std::string name =
        "tunewright-test-" + std::to_string(random()) + std::to_string(random());
    root_ = fs::temp_directory_path() / name;
    if (fs::create_directory(root_)) {
      return;
    }
  }
}

void ScratchDirectory::TearDown() {
  std::error_code error;
  fs::remove_all(root_, error);
  EXPECT_FALSE(error) << root_ << ": " << error.message();
}

std::string ScratchDirectory::path(const std::string& name) const {
  return (root_ / name).string();
}

void ScratchDirectory::write(const std::string& name, std::string_view bytes) const {
  std::ofstream file(path(name), std::ios::binary | std::ios::trunc);
  file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(file.flush()) << "cannot write " << path(name);
}

void ScratchDirectory::write(const std::string& name, const Image& image) const {
  write(name, std::string_view(reinterpret_cast<const char*>(image.data()), image.bytes.size()));
}

std::string ScratchDirectory::read(const std::string& name) const {
  std::ifstream file(path(name), std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

std::set<std::string> ScratchDirectory::names() const {
  std::set<std::string> found;
  for (const fs::directory_entry& entry : fs::directory_iterator(root_)) {
    found.insert(entry.path().filename().string());
  }
  return found;
}

}  // namespace tunewright::testing
