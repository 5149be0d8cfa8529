// Win32 implementation of the platform layer: the wide-character system functions, with the
// program's UTF-8 paths converted where they are called, so that no ANSI code page (and no
// best-fit mapping) ever touches a name.

#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// windows.h first: the security functions need its types.
#include <aclapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/platform.h"

// The C run-time's own parse of the wide command line, wildcard expansion included (msvcrt).
struct CrtStartupInfo {
  int newMode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expandWildcards, CrtStartupInfo* startupInfo);

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
  void reset(HANDLE handle) {
    if (valid()) {
      Close(handle_);
    }
    handle_ = handle;
  }
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

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

std::wstring widen(std::string_view text) {
  std::wstring wide;
  const int size = static_cast<int>(text.size());
  const int length = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
  if (length > 0) {
    wide.resize(static_cast<std::size_t>(length));
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), length);
  }
  return wide;
}

// Converts into out, whose capacity is kept for the next call.
void narrowInto(std::wstring_view wide, std::string& out) {
  const int size = static_cast<int>(wide.size());
  const int length =
      ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  out.resize(static_cast<std::size_t>(length > 0 ? length : 0));
  if (length > 0) {
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, out.data(), length, nullptr, nullptr);
  }
}

// The path as the wide functions take it without a length limit: "\\?\" before the absolute
// path, which GetFullPathNameW makes as any Win32 function would (slashes, "." and "..").
std::wstring systemPath(const char* path) {
  const std::wstring wide = widen(path);
  const DWORD capacity = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (wide.empty() || wide.starts_with(LR"(\\?\)") || capacity == 0) {
    return wide;
  }
  std::wstring full(capacity, L'\0');
  const DWORD length = ::GetFullPathNameW(wide.c_str(), capacity, full.data(), nullptr);
  if (length == 0 || length >= capacity) {
    return wide;
  }
  full.resize(length);
  if (full.starts_with(LR"(\\.\)") || full.starts_with(LR"(\\?\)")) {
    return full;  // a device such as NUL
  }
  if (full.starts_with(LR"(\\)")) {
    return LR"(\\?\UNC\)" + full.substr(2);
  }
  return LR"(\\?\)" + full;
}

bool writeAll(HANDLE file, const void* data, std::size_t length) {
  DWORD written = 0;
  return ::WriteFile(file, data, static_cast<DWORD>(length), &written, nullptr) != 0 &&
         written == length;
}

// The temporary file being written, and its handle while it is open, for the interruption
// handler to remove. The lock makes "made, then named here", "closed, then forgotten here" and
// "renamed or removed, then forgotten" single steps for the handler, which runs on a thread of
// its own.
SRWLOCK temporaryLock = SRWLOCK_INIT;
std::wstring pendingTemporary;
HANDLE pendingHandle = INVALID_HANDLE_VALUE;

BOOL WINAPI onInterruption(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      break;
    default:
      return FALSE;
  }
  // The lock is never released: the process ends while holding it, so no write can begin.
  ::AcquireSRWLockExclusive(&temporaryLock);
  // Closed first, so that the file is gone when the program has ended, not only once the
  // system has closed what the program left open.
  if (pendingHandle != INVALID_HANDLE_VALUE) {
    ::CloseHandle(pendingHandle);
  }
  if (!pendingTemporary.empty()) {
    ::DeleteFileW(pendingTemporary.c_str());
  }
  // With the status the system's own handler ends a program with; at once, since the main
  // thread may be anywhere, and every line already went out whole.
  ::TerminateProcess(::GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  return TRUE;
}

// A temporary file beside target (a "\\?\" path), made exclusively, removed again unless it is
// renamed into place. Its name says what it is and never ends in a preset extension, so a scan
// passes over it: ".tunewright-PID-N.tmp".
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::wstring& target) {
    static unsigned counter = 0;
    const std::size_t directoryLength = target.rfind(L'\\') + 1;
    for (int attempt = 0; attempt < 100 && !file_.valid(); ++attempt) {
      wchar_t name[64];
      std::swprintf(name, sizeof name / sizeof name[0], L".tunewright-%lu-%u.tmp",
                    ::GetCurrentProcessId(), counter++);
      path_ = target.substr(0, directoryLength) + name;
      ::AcquireSRWLockExclusive(&temporaryLock);
      const HANDLE file =
          ::CreateFileW(path_.c_str(), GENERIC_WRITE | READ_CONTROL | WRITE_DAC, FILE_SHARE_DELETE,
                        nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (file != INVALID_HANDLE_VALUE) {
        pendingTemporary = path_;
        pendingHandle = file;
        pending_ = true;
        file_.reset(file);
      }
      const DWORD error = ::GetLastError();
      ::ReleaseSRWLockExclusive(&temporaryLock);
      if (file == INVALID_HANDLE_VALUE && error != ERROR_FILE_EXISTS) {
        return;
      }
    }
  }
  ~TemporaryFile() {
    if (file_.valid()) {
      closeFile();
    }
    if (!pending_) {
      return;
    }
    ::AcquireSRWLockExclusive(&temporaryLock);
    ::DeleteFileW(path_.c_str());
    pendingTemporary.clear();
    ::ReleaseSRWLockExclusive(&temporaryLock);
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  bool valid() const { return file_.valid(); }
  HANDLE get() const { return file_.get(); }

  // Writes the content, for a replacement flushed to the disk, and closes the file.
  bool fill(const unsigned char* data, int32_t length, bool durable) {
    return writeAll(file_.get(), data, static_cast<std::size_t>(length)) &&
           (!durable || ::FlushFileBuffers(file_.get()) != 0) && closeFile();
  }

  // Renames the file to target; false, with the file still to be removed, when that failed.
  bool moveTo(const std::wstring& target, DWORD flags) {
    ::AcquireSRWLockExclusive(&temporaryLock);
    const bool moved = ::MoveFileExW(path_.c_str(), target.c_str(), flags) != 0;
    const DWORD error = ::GetLastError();
    if (moved) {
      pendingTemporary.clear();
      pending_ = false;
    }
    ::ReleaseSRWLockExclusive(&temporaryLock);
    ::SetLastError(error);
    return moved;
  }

 private:
  bool closeFile() {
    ::AcquireSRWLockExclusive(&temporaryLock);
    const bool closed = file_.close();
    pendingHandle = INVALID_HANDLE_VALUE;
    ::ReleaseSRWLockExclusive(&temporaryLock);
    return closed;
  }

  std::wstring path_;
  FileHandle file_{INVALID_HANDLE_VALUE};
  bool pending_ = false;  // made and not yet renamed into place
};

WriteOutcome createFile(const std::wstring& path, const unsigned char* data, int32_t length,
                        WriteMode mode) {
  TemporaryFile temporary(path);
  if (!temporary.valid()) {
    return WriteOutcome::kCannotCreate;
  }
  if (!temporary.fill(data, length, false)) {
    return WriteOutcome::kWriteFailed;
  }
  // Without MOVEFILE_REPLACE_EXISTING: whatever appeared at path meanwhile stays. Nor
  // write-through: a new output is not worth a wait for the disk, the original being safe.
  if (!temporary.moveTo(path, 0)) {
    const DWORD error = ::GetLastError();
    // Something in the way is someone's file when it is a file or a link; a directory or a
    // device is no output at all. For a replacement it is a name that leads nowhere, such as a
    // dangling link.
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    const bool metAFile = (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) &&
                          attributes != INVALID_FILE_ATTRIBUTES &&
                          ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
                           (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) == 0);
    return metAFile && mode == WriteMode::kCreate ? WriteOutcome::kExists
                                                  : WriteOutcome::kCannotCreate;
  }
  return WriteOutcome::kWritten;
}

// The path of the file an open handle refers to, through any links, in the "\\?\" form; empty
// when the system cannot name it.
std::wstring finalPathOf(HANDLE file) {
  for (const DWORD form : {DWORD{VOLUME_NAME_DOS}, DWORD{VOLUME_NAME_GUID}}) {
    const DWORD capacity = ::GetFinalPathNameByHandleW(file, nullptr, 0, form);
    if (capacity == 0) {
      continue;
    }
    std::wstring path(capacity, L'\0');
    const DWORD length = ::GetFinalPathNameByHandleW(file, path.data(), capacity, form);
    if (length > 0 && length < capacity) {
      path.resize(length);
      return path;
    }
  }
  return {};
}

// The access rules (DACL) of an open file, with their protection from inheritance; empty
// where the file system keeps none.
struct AccessRules {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PACL rules = nullptr;
  explicit AccessRules(HANDLE file) {
    if (::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &rules,
                          nullptr, &descriptor) != ERROR_SUCCESS) {
      descriptor = nullptr;
      rules = nullptr;
    }
  }
  ~AccessRules() { ::LocalFree(descriptor); }
  AccessRules(const AccessRules&) = delete;
  AccessRules& operator=(const AccessRules&) = delete;

  bool sameAs(const AccessRules& other) const {
    return (rules == nullptr) == (other.rules == nullptr) &&
           (rules == nullptr || (rules->AclSize == other.rules->AclSize &&
                                 std::memcmp(rules, other.rules, rules->AclSize) == 0));
  }
};

// True when some of the rules came to the file from its folder.
bool hasInheritedRule(PACL rules) {
  for (DWORD i = 0; rules != nullptr && i < rules->AceCount; ++i) {
    void* rule = nullptr;
    if (::GetAce(rules, i, &rule) != 0 &&
        (static_cast<ACE_HEADER*>(rule)->AceFlags & INHERITED_ACE) != 0) {
      return true;
    }
  }
  return false;
}

// The replacement takes over the replaced file's access rules where they differ from what it
// inherited in the same folder: rules added to the file, or the file shut off from its folder's
// rules. Rules that are neither (wine makes such from a Linux file's mode, and could not give
// them back as they were) are left to the folder. Not every file system keeps rules, so a
// failure is no failure of the write.
void copyAccessRules(HANDLE from, HANDLE to) {
  const AccessRules wanted(from);
  if (wanted.descriptor == nullptr || wanted.sameAs(AccessRules(to))) {
    return;
  }
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  ::GetSecurityDescriptorControl(wanted.descriptor, &control, &revision);
  SECURITY_INFORMATION inheritance = UNPROTECTED_DACL_SECURITY_INFORMATION;
  if ((control & SE_DACL_PROTECTED) != 0) {
    inheritance = PROTECTED_DACL_SECURITY_INFORMATION;
  } else if (!hasInheritedRule(wanted.rules)) {
    return;
  }
  ::SetSecurityInfo(to, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance, nullptr, nullptr,
                    wanted.rules, nullptr);
}

// Replaces the regular file opened as existing (path, or a link's target) with a complete copy.
// The handle is closed before the rename, which an open file would refuse.
WriteOutcome replaceFile(FileHandle& existing, const std::wstring& path, const unsigned char* data,
                         int32_t length) {
  // Only a regular file we may write is replaced: a directory or device, or a read-only preset,
  // is never swapped for a file. (The handle was opened for writing, so the access rules allow
  // it.)
  BY_HANDLE_FILE_INFORMATION information;
  constexpr DWORD kNotReplaced =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DEVICE;
  if (::GetFileType(existing.get()) != FILE_TYPE_DISK ||
      ::GetFileInformationByHandle(existing.get(), &information) == 0 ||
      (information.dwFileAttributes & kNotReplaced) != 0) {
    return WriteOutcome::kCannotCreate;
  }
  // Through a symbolic link the file it leads to is replaced, so that the link stays a link. The
  // opened file tells where that is: a link's reparse flag is not always there to see.
  std::wstring target = finalPathOf(existing.get());
  if (target.empty()) {
    target = path;
  }
  TemporaryFile temporary(target);
  if (!temporary.valid()) {
    return WriteOutcome::kCannotCreate;
  }
  copyAccessRules(existing.get(), temporary.get());
  existing.close();
  // Hidden, system and archive carry over too.
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = information.dwFileAttributes & ~DWORD{FILE_ATTRIBUTE_NORMAL};
  if (basic.FileAttributes == 0) {
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  }
  ::SetFileInformationByHandle(temporary.get(), FileBasicInfo, &basic, sizeof basic);
  if (!temporary.fill(data, length, true) ||
      !temporary.moveTo(target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    return WriteOutcome::kWriteFailed;
  }
  return WriteOutcome::kWritten;
}

// A directory a recursive walk may enter: not a symbolic link or junction, which could lead
// back up the tree. Wine marks a link to a directory with tag 0, which no real reparse point
// carries. Other reparse points (cloud-synced folders, for one) are ordinary folders.
bool isEnterableDirectory(const WIN32_FIND_DATAW& entry) {
  if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return false;
  }
  if ((entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return true;
  }
  const DWORD tag = entry.dwReserved0;
  return tag != IO_REPARSE_TAG_SYMLINK && tag != IO_REPARSE_TAG_MOUNT_POINT && tag != 0;
}

HANDLE standardHandle(Stream stream) {
  return ::GetStdHandle(stream == Stream::kOutput ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
}

bool isConsole(HANDLE handle) {
  DWORD mode = 0;
  return ::GetConsoleMode(handle, &mode) != 0;
}

// Whether another Windows program (Explorer, a shell) started this one. One that wine starts from
// a Linux terminal has no such parent, and the console it was given alone is that terminal.
bool hasWindowsParent() {
  const FileHandle snapshot(::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
  PROCESSENTRY32W entry;
  entry.dwSize = sizeof entry;
  const DWORD self = ::GetCurrentProcessId();
  for (BOOL more = ::Process32FirstW(snapshot.get(), &entry); more != 0;
       more = ::Process32NextW(snapshot.get(), &entry)) {
    if (entry.th32ProcessID == self) {
      return entry.th32ParentProcessID != 0;
    }
  }
  return false;
}

}  // namespace

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  CrtStartupInfo startupInfo = {0};
  if (::__wgetmainargs(&count, &wide, &environment, 1, &startupInfo) != 0 || wide == nullptr) {
    return {argv, argv + argc};  // cannot happen with a working run-time; the narrow form then
  }
  std::vector<std::string> arguments(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    narrowInto(wide[i], arguments[i]);
  }
  return arguments;
}

void installInterruptHandlers() {
  ::SetConsoleCtrlHandler(onInterruption, TRUE);
}

void writeLine(Stream stream, std::string_view line) {
  const HANDLE handle = standardHandle(stream);
  if (isConsole(handle)) {
    const std::wstring wide = widen(line);
    DWORD written = 0;
    ::WriteConsoleW(handle, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
    return;
  }
  // Redirected: the UTF-8 bytes, with the line ends of a Windows text file.
  static std::string bytes;
  bytes.clear();
  for (const char c : line) {
    if (c == '\n') {
      bytes.push_back('\r');
    }
    bytes.push_back(c);
  }
  writeAll(handle, bytes.data(), bytes.size());
}

bool ownsConsoleWindow() {
  for (const DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    if (!isConsole(::GetStdHandle(stream))) {
      return false;
    }
  }
  // A shell that started the program shares its console, so the program alone on it means the
  // console was made for it.
  DWORD processes[2];
  return ::GetConsoleProcessList(processes, 2) == 1 && hasWindowsParent();
}

void waitForEnter() {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (isConsole(input)) {
    // Keys pressed while the program ran do not close the window unread.
    ::FlushConsoleInputBuffer(input);
    wchar_t typed[64];
    DWORD count = 0;
    while (::ReadConsoleW(input, typed, 64, &count, nullptr) != 0 && count > 0) {
      if (std::wstring_view(typed, count).find_first_of(L"\r\n") != std::wstring_view::npos) {
        return;
      }
    }
    return;
  }
  char typed = 0;
  DWORD count = 0;
  while (::ReadFile(input, &typed, 1, &count, nullptr) != 0 && count == 1 && typed != '\n') {
  }
}

bool pathExists(const char* path) {
  // The attributes of the name itself: a link is there even when what it names is not.
  return ::GetFileAttributesW(systemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool isDirectory(const char* path) {
  // Opened, not asked for its attributes, so that a link is followed to what it names.
  const FileHandle file(::CreateFileW(systemPath(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  return file.valid() && ::GetFileInformationByHandle(file.get(), &information) != 0 &&
         (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

ListOutcome listDirectory(const char* directory, EntryVisitor visit, void* context) {
  // The pattern is made as the walk makes the entries' paths, directory + "\\" + name, before it
  // is made absolute: "C:" lists the root, as "C:\\x" names a file there.
  const std::wstring pattern = systemPath((std::string(directory) + "\\*").c_str());
  WIN32_FIND_DATAW entry;
  const FindHandle find(::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  if (!find.valid()) {
    return ListOutcome::kNothingListed;
  }
  std::string name;
  do {
    narrowInto(entry.cFileName, name);
    if (!visit(context, DirectoryEntry{name.c_str(), isEnterableDirectory(entry)})) {
      return ListOutcome::kStopped;
    }
  } while (::FindNextFileW(find.get(), &entry) != 0);
  return ListOutcome::kFinished;
}

int32_t readFile(const char* path, unsigned char* buffer, int32_t capacity) {
  // A directory cannot be opened this way; devices and pipes are refused by their type.
  const FileHandle file(::CreateFileW(systemPath(path).c_str(), GENERIC_READ, kShareAll, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
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

WriteOutcome writeFileSafely(const char* path, const unsigned char* data, int32_t length,
                             WriteMode mode) {
  const std::wstring target = systemPath(path);
  if (mode == WriteMode::kReplace) {
    // Opened for writing (links followed), which a read-only file or one whose access rules
    // forbid it refuses; a write access to a directory is refused too.
    FileHandle existing(
        ::CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL | FILE_WRITE_DATA,
                      kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (existing.valid()) {
      return replaceFile(existing, target, data, length);
    }
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
      return WriteOutcome::kCannotCreate;
    }
  }
  return createFile(target, data, length, mode);
}

}  // namespace tunewright::platform
