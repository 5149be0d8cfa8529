// The floor of the bulk job: only the system calls it cannot avoid, with no logic at all.
// Lists every directory of a tree and, for every entry named *.fxp, *.fxb or *.vstpreset, opens,
// reads and closes it, then creates, writes and closes an output beside it holding the bytes read.
//
//   floor DIRECTORY

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace {

bool endsWith(const char* name, size_t nameLength, const char* suffix) {
  const size_t suffixLength = std::strlen(suffix);
  return nameLength > suffixLength && std::strcmp(name + nameLength - suffixLength, suffix) == 0;
}

void walk(char* path, size_t length) {
  DIR* dir = opendir(path);
  if (dir == nullptr) {
    return;
  }
  const dirent* entry;
  while ((entry = readdir(dir)) != nullptr) {
    const char* name = entry->d_name;
    const size_t nameLength = std::strlen(name);
    if (length + nameLength + 6 >= 4096) {
      continue;
    }
    path[length] = '/';
    std::memcpy(path + length + 1, name, nameLength + 1);
    if (entry->d_type == DT_DIR) {
      if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) {
        walk(path, length + 1 + nameLength);
      }
    } else if (endsWith(name, nameLength, ".fxp") || endsWith(name, nameLength, ".fxb") ||
               endsWith(name, nameLength, ".vstpreset")) {
      unsigned char image[2048];
      ssize_t got = 0;
      const int input = open(path, O_RDONLY);
      if (input >= 0) {
        got = read(input, image, sizeof image);
        close(input);
      }
      // The output: the same directory, the name behind a prefix.
      std::memcpy(path + length + 1, "205_", 4);
      std::memcpy(path + length + 5, name, nameLength + 1);
      const int output = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
      if (output >= 0) {
        if (got > 0 && write(output, image, static_cast<size_t>(got)) < 0) {
          std::perror(path);
        }
        close(output);
      }
    }
  }
  path[length] = '\0';
  closedir(dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: floor DIRECTORY\n");
    return 2;
  }
  char path[4096];
  std::snprintf(path, sizeof path, "%s", argv[1]);
  walk(path, std::strlen(path));
  return 0;
}
