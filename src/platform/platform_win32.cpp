// Win32 implementation: the narrow-character file functions, paths passed through unchanged.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstring>

#include "platform/platform.h"

// Asks the MinGW C run-time to expand wildcards in the arguments before main runs, as the MSVC
// run-time does when linked with setargv.obj.
extern "C" {
int _dowildcard = -1;
}

namespace tunewright::platform {

namespace {

// Owns a handle and closes it on every way out.
template <BOOL(WINAPI* Close)(HANDLE)>
class ScopedHandle {
 public:
  explicit ScopedHandle(HANDLE handle) : handle_(handle) {}
  ~ScopedHandle() {
    if (valid()) {
      Close(handle_);
    }
  }
  ScopedHandle(const ScopedHandle&) = delete;
  ScopedHandle& operator=(const ScopedHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  // Closes now and reports whether the close succeeded; a failed close may mean lost data.
  bool close() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return Close(handle) != 0;
  }

 private:
  HANDLE handle_;
};

using FileHandle = ScopedHandle<::CloseHandle>;
using FindHandle = ScopedHandle<::FindClose>;

bool writeAll(HANDLE file, const unsigned char* data, int32_t length) {
  DWORD written = 0;
  return ::WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr) != 0 &&
         written == static_cast<DWORD>(length);
}

// Writes a whole file that nothing else has seen yet; removes it again on failure.
bool writeNewFile(FileHandle& file, const char* path, const unsigned char* data, int32_t length) {
  const bool ok = writeAll(file.get(), data, length) && file.close();
  if (!ok) {
    if (file.valid()) {
      file.close();
    }
    ::DeleteFileA(path);
  }
  return ok;
}

WriteOutcome replaceExistingFile(const char* path, const unsigned char* data, int32_t length) {
  // Only a regular file we may write is replaced: a directory or device at the output path,
  // or a read-only preset, is never swapped for a file.
  const DWORD attributes = ::GetFileAttributesA(path);
  constexpr DWORD kNotReplaced =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE;
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & kNotReplaced) != 0) {
    return WriteOutcome::kCannotCreate;
  }
  // The temporary file goes beside the output, so that the replacement stays on one volume.
  char directory[MAX_PATH];
  const char* separator = std::strrchr(path, '\\');
  const char* slash = std::strrchr(path, '/');
  if (separator == nullptr || (slash != nullptr && slash > separator)) {
    separator = slash;
  }
  if (separator == nullptr) {
    std::strcpy(directory, ".");
  } else {
    const auto directoryLength = static_cast<std::size_t>(separator - path + 1);
    if (directoryLength >= sizeof directory) {
      return WriteOutcome::kCannotCreate;
    }
    std::memcpy(directory, path, directoryLength);
    directory[directoryLength] = '\0';
  }
  char temporary[MAX_PATH];
  if (::GetTempFileNameA(directory, "twr", 0, temporary) == 0) {
    return WriteOutcome::kCannotCreate;
  }
  FileHandle file(::CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) {
    ::DeleteFileA(temporary);
    return WriteOutcome::kCannotCreate;
  }
  if (!writeNewFile(file, temporary, data, length)) {
    return WriteOutcome::kWriteFailed;
  }
  // The replacement takes over the replaced file's attributes (hidden, system, archive); the
  // rename over it is atomic on one volume.
  if (::SetFileAttributesA(temporary, attributes == 0 ? FILE_ATTRIBUTE_NORMAL : attributes) == 0 ||
      ::MoveFileExA(temporary, path, MOVEFILE_REPLACE_EXISTING) == 0) {
    ::DeleteFileA(temporary);
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
}

}  // namespace

bool isDirectory(const char* path) {
  const DWORD attributes = ::GetFileAttributesA(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

ListOutcome listDirectory(const char* pattern, EntryVisitor visit, void* context) {
  WIN32_FIND_DATAA data;
  const FindHandle find(::FindFirstFileA(pattern, &data));
  if (!find.valid()) {
    return ListOutcome::kNothingListed;
  }
  do {
    const bool directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!visit(context, DirectoryEntry{data.cFileName, directory})) {
      return ListOutcome::kStopped;
    }
  } while (::FindNextFileA(find.get(), &data) != 0);
  return ListOutcome::kFinished;
}

int32_t readFile(const char* path, unsigned char* buffer, int32_t capacity) {
  // A directory cannot be opened this way; devices and pipes are refused by their type.
  const FileHandle file(::CreateFileA(path, GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file.valid() || ::GetFileType(file.get()) != FILE_TYPE_DISK) {
    return -1;
  }
  int32_t total = 0;
  while (total < capacity) {
    DWORD got = 0;
    if (::ReadFile(file.get(), buffer + total, static_cast<DWORD>(capacity - total), &got,
                   nullptr) == 0 ||
        got == 0) {
      break;
    }
    total += static_cast<int32_t>(got);
  }
  return total;
}

WriteOutcome writeFileSafely(const char* path, const unsigned char* data, int32_t length) {
  // Nothing at the output path yet: write the file directly; a failure removes it again.
  FileHandle file(
      ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.valid()) {
    return writeNewFile(file, path, data, length) ? WriteOutcome::kWritten
                                                  : WriteOutcome::kWriteFailed;
  }
  const DWORD error = ::GetLastError();
  if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
    return WriteOutcome::kCannotCreate;
  }
  return replaceExistingFile(path, data, length);
}

}  // namespace tunewright::platform
