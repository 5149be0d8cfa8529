// Win32 implementation of the platform layer: directories held open, and every file of a preset
// reached relative to the directory it was found in through the NT calls that take a directory
// handle, so that no path is looked up again. Names are converted from the program's UTF-8 where
// the system is called: no ANSI code page, best-fit mapping or device name ever touches them.

#define WIN32_LEAN_AND_MEAN
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
// windows.h first: the others need its types.
#include <aclapi.h>
#include <ntstatus.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/system_calls.h"
#include "platform/wtf8.h"

// The C run-time's own parse of the wide command line, wildcard expansion included (msvcrt).
struct CrtStartupInfo {
  int newMode;
};
extern "C" int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** environment,
                              int expandWildcards, CrtStartupInfo* startupInfo);

// The listing through a directory handle; ntdll has it, MinGW-w64 declares it only for drivers.
extern "C" NTSTATUS NTAPI NtQueryDirectoryFile(HANDLE file, HANDLE event, PIO_APC_ROUTINE apc,
                                               PVOID apcContext, PIO_STATUS_BLOCK io,
                                               PVOID information, ULONG length,
                                               FILE_INFORMATION_CLASS informationClass,
                                               BOOLEAN singleEntry, PUNICODE_STRING name,
                                               BOOLEAN restartScan);

namespace tunewright::platform {

namespace {

// Owns a handle and closes it on every way out.
class FileHandle {
 public:
  explicit FileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : handle_(handle) {}
  ~FileHandle() { reset(INVALID_HANDLE_VALUE); }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  void reset(HANDLE handle) {
    if (valid()) {
      ::CloseHandle(handle_);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_;
};

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG kSynchronous = FILE_SYNCHRONOUS_IO_NONALERT;
// What a directory is opened with: to be listed, or only worked in.
// (Reading its attributes, which every check of what it is needs, comes with either.)
constexpr ACCESS_MASK kWorkedIn = FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr ACCESS_MASK kListable = FILE_LIST_DIRECTORY | kWorkedIn;
// The longest name any Windows file system takes, in UTF-16 units (under wine: bytes of UTF-8).
constexpr std::size_t kMaxName = 255;

std::wstring widen(std::string_view text) {
  return fromWtf8<wchar_t>(text);
}

// Converts into out, whose capacity is kept for the next call.
void narrowInto(std::wstring_view wide, std::string& out) {
  toWtf8(wide, out);
}

// Whether the program runs under wine, on a Linux file system: names are limited in bytes there,
// and the access rules a file shows are made up from its permission bits, which rules given back
// would change (wine grants the group and execute permission from them).
bool underWine() {
  static const bool wine =
      ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
  return wine;
}

bool nameTooLong(std::string_view name, std::wstring_view wide) {
  return wide.size() > kMaxName || (underWine() && name.size() > kMaxName);
}

// A name that is one entry of a directory: relative opens take a backslash as a separator and a
// colon as the start of a stream's name, and "." and ".." name no entry.
bool isEntryName(std::wstring_view name) {
  return !name.empty() && name != L"." && name != L".." &&
         name.find_first_of(L"\\/:") == std::wstring_view::npos;
}

// Opens name relative to the directory held open as directory, never as a device and never
// through a Win32 path rule (name is an NT name relative to the handle).
NTSTATUS openAt(HANDLE directory, std::wstring_view name, ACCESS_MASK access, ULONG disposition,
                ULONG options, HANDLE& opened, PSECURITY_DESCRIPTOR security = nullptr,
                ULONG share = kShareAll) {
  opened = INVALID_HANDLE_VALUE;
  UNICODE_STRING objectName;
  objectName.Buffer = const_cast<wchar_t*>(name.data());
  objectName.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  objectName.MaximumLength = objectName.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, directory, security);
  IO_STATUS_BLOCK io;
  HANDLE handle = nullptr;
  const NTSTATUS status =
      ::NtCreateFile(&handle, access, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL, share,
                     disposition, options | kSynchronous, nullptr, 0);
  if (NT_SUCCESS(status)) {
    opened = handle;
  }
  return status;
}

// Opens an open file or folder again, this time through the filter a reparse point of its own
// stands for (a cloud placeholder, a deduplicated file): an empty name relative to the handle.
HANDLE reopenThroughFilter(HANDLE file, ACCESS_MASK access, ULONG options) {
  HANDLE opened = INVALID_HANDLE_VALUE;
  openAt(file, L"", access, FILE_OPEN, options, opened);
  return opened;
}

bool isMissing(NTSTATUS status) {
  return status == STATUS_OBJECT_NAME_NOT_FOUND || status == STATUS_NO_SUCH_FILE;
}

// Whether a failure to make or name a file means the name is too long: the file system says so,
// or (under wine, whose Linux file system counts bytes) says there is no such name.
bool refusedAsTooLong(NTSTATUS status, std::string_view name) {
  return status == STATUS_NAME_TOO_LONG ||
         ((status == STATUS_OBJECT_NAME_INVALID || isMissing(status)) && name.size() > kMaxName);
}

bool fileInformation(HANDLE file, BY_HANDLE_FILE_INFORMATION& information) {
  return ::GetFileInformationByHandle(file, &information) != 0;
}

FileIdentity identityOf(const BY_HANDLE_FILE_INFORMATION& information) {
  const auto join = [](DWORD high, DWORD low) { return (uint64_t{high} << 32) | low; };
  return {information.dwVolumeSerialNumber,
          join(information.nFileIndexHigh, information.nFileIndexLow),
          static_cast<int64_t>(join(information.nFileSizeHigh, information.nFileSizeLow)),
          static_cast<int64_t>(join(information.ftLastWriteTime.dwHighDateTime,
                                    information.ftLastWriteTime.dwLowDateTime))};
}

bool sameFile(const BY_HANDLE_FILE_INFORMATION& information, const FileIdentity& identity) {
  const FileIdentity found = identityOf(information);
  return found.volume == identity.volume && found.file == identity.file;
}

// A symbolic link or a junction, which lead elsewhere by name; other reparse points (cloud
// placeholders, deduplicated or compressed files) are the files and folders they seem. Wine
// marks a link to a directory with tag 0, which no real reparse point carries.
bool leadsElsewhere(DWORD attributes, DWORD tag) {
  return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (IsReparseTagNameSurrogate(tag) || tag == 0);
}

// The same, for an open file: what the file system says of the file itself.
bool leadsElsewhere(HANDLE file, DWORD attributes) {
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
    return false;
  }
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  return ::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) == 0 ||
         leadsElsewhere(tag.FileAttributes, tag.ReparseTag);
}

// The path of an open file as the system names it now (links resolved), or empty.
std::wstring finalPath(HANDLE file, DWORD form) {
  const DWORD capacity = ::GetFinalPathNameByHandleW(file, nullptr, 0, form);
  if (capacity == 0) {
    return {};
  }
  std::wstring path(capacity, L'\0');
  const DWORD length = ::GetFinalPathNameByHandleW(file, path.data(), capacity, form);
  path.resize(length > 0 && length < capacity ? length : 0);
  return path;
}

// Whether what was opened as name relative to directory is that directory's own entry, not
// what a link there leads to. Windows opens a link itself where asked to, which
// leadsElsewhere() then tells; wine follows every link, and only the opened file's path shows
// where it went. Where a path cannot be had, the file system's own word stands.
bool isEntryOf(HANDLE directory, HANDLE opened, std::wstring_view name) {
  const std::wstring parent = finalPath(directory, VOLUME_NAME_NT);
  const std::wstring child = finalPath(opened, VOLUME_NAME_NT);
  if (parent.empty() || child.empty()) {
    return true;
  }
  const std::size_t slash = child.rfind(L'\\');
  std::wstring_view parentPart(parent);
  if (parentPart.ends_with(L'\\')) {
    parentPart.remove_suffix(1);
  }
  const std::wstring_view found = std::wstring_view(child).substr(slash + 1);
  return slash != std::wstring::npos && std::wstring_view(child).substr(0, slash) == parentPart &&
         ::CompareStringOrdinal(found.data(), static_cast<int>(found.size()), name.data(),
                                static_cast<int>(name.size()), TRUE) == CSTR_EQUAL;
}

// The absolute "\\?\" form of a directory named on the command line, for the wide functions
// without a length limit. base is the directory part of a path ("dir\", "C:\", "C:", or empty
// for the current directory); it is made absolute as any Win32 function makes a path (slashes,
// "." and ".."), but with a name after it, so that a last folder named like a device (con,
// nul) stays a folder. Ends with a backslash.
std::wstring directoryPath(std::wstring base) {
  base.push_back(L'x');
  const DWORD capacity = ::GetFullPathNameW(base.c_str(), 0, nullptr, nullptr);
  std::wstring full(capacity, L'\0');
  const DWORD length =
      capacity == 0 ? 0 : ::GetFullPathNameW(base.c_str(), capacity, full.data(), nullptr);
  if (length == 0 || length >= capacity) {
    return {};
  }
  full.resize(length - 1);  // without the name
  if (full.starts_with(LR"(\\?\)") || full.starts_with(LR"(\\.\)")) {
    return full;
  }
  if (full.starts_with(LR"(\\)")) {
    return LR"(\\?\UNC\)" + full.substr(2);
  }
  return LR"(\\?\)" + full;
}

// Where the last component of a command-line path starts: after its last slash or backslash.
std::size_t nameStart(std::string_view path) {
  const std::size_t separator = path.find_last_of("/\\");
  return separator == std::string_view::npos ? 0 : separator + 1;
}

// A command-line path as the absolute path of the directory it lies in and its last component.
struct CommandLinePath {
  std::wstring directory;  // empty when it cannot be made
  std::wstring name;
};

CommandLinePath splitCommandLinePath(const char* path) {
  const std::wstring wide = widen(path);
  const std::size_t name = nameStart(path) == 0 ? 0 : wide.find_last_of(L"/\\") + 1;
  return {directoryPath(wide.substr(0, name)), wide.substr(name)};
}

// Opens a directory by its absolute path (links followed); INVALID_HANDLE_VALUE when it is not
// one or cannot be opened with access.
HANDLE openDirectoryPath(const std::wstring& path, ACCESS_MASK access) {
  if (path.empty()) {
    return INVALID_HANDLE_VALUE;
  }
  FileHandle directory(::CreateFileW(path.c_str(), access, kShareAll, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION information;
  if (!directory.valid() || !fileInformation(directory.get(), information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    return INVALID_HANDLE_VALUE;
  }
  return directory.release();
}

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

std::intptr_t stored(HANDLE handle) {
  return reinterpret_cast<std::intptr_t>(handle);
}

// The error of the last failed call that decided an outcome, on this thread: a Win32 error code.
thread_local DWORD lastFailure = 0;

template <typename T>
T failedWith(DWORD code, T result) {
  noteFailure(static_cast<int>(code));
  return result;
}

// Notes the last Win32 error as the reason of the failure being reported.
template <typename T>
T failed(T result) {
  return failedWith(::GetLastError(), result);
}

// Notes an NT status as the reason.
template <typename T>
T failedStatus(NTSTATUS status, T result) {
  return failedWith(::RtlNtStatusToDosError(status), result);
}

bool writeAll(HANDLE file, const void* data, uint64_t length) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    const auto chunk = static_cast<DWORD>(std::min<uint64_t>(length, 1 << 30));
    DWORD written = 0;
    if (::WriteFile(file, bytes, chunk, &written, nullptr) == 0 || written == 0) {
      return failed(false);
    }
    bytes += written;
    length -= written;
  }
  return true;
}

// Reads up to length bytes from offset on; fewer only at the end of the file, -1 on an error.
int64_t readAt(HANDLE file, uint64_t offset, unsigned char* buffer, int64_t length) {
  int64_t total = 0;
  while (total < length) {
    OVERLAPPED position = {};
    const uint64_t at = offset + static_cast<uint64_t>(total);
    position.Offset = static_cast<DWORD>(at);
    position.OffsetHigh = static_cast<DWORD>(at >> 32);
    DWORD got = 0;
    const auto chunk = static_cast<DWORD>(std::min<int64_t>(length - total, 1 << 30));
    if (::ReadFile(file, buffer + total, chunk, &got, &position) == 0) {
      if (::GetLastError() == ERROR_HANDLE_EOF) {
        break;
      }
      return failed(int64_t{-1});  // what was read before is no part of the file to go by
    }
    if (got == 0) {
      break;
    }
    total += got;
  }
  return total;
}

// FILE_FULL_DIR_INFORMATION, one entry of a listing. For a reparse point, eaSize holds its tag.
struct FullDirectoryEntry {
  ULONG nextEntryOffset;
  ULONG fileIndex;
  LARGE_INTEGER creationTime;
  LARGE_INTEGER lastAccessTime;
  LARGE_INTEGER lastWriteTime;
  LARGE_INTEGER changeTime;
  LARGE_INTEGER endOfFile;
  LARGE_INTEGER allocationSize;
  ULONG fileAttributes;
  ULONG fileNameLength;
  ULONG eaSize;
  WCHAR fileName[1];
};

EntryKind kindOf(const FullDirectoryEntry& entry) {
  const bool elsewhere = leadsElsewhere(entry.fileAttributes, entry.eaSize);
  if ((entry.fileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return elsewhere ? EntryKind::kLink : EntryKind::kDirectory;
  }
  if ((entry.fileAttributes & FILE_ATTRIBUTE_DEVICE) != 0) {
    return EntryKind::kSpecial;
  }
  return elsewhere ? EntryKind::kLink : EntryKind::kFile;
}

// FILE_RENAME_INFORMATION and FILE_LINK_INFORMATION, which share their layout: a new name for an
// open file, relative to a directory handle.
struct NameInformation {
  BOOLEAN replaceIfExists;
  HANDLE rootDirectory;
  ULONG fileNameLength;
  WCHAR fileName[kMaxName + 1];
};

NTSTATUS giveName(HANDLE file, HANDLE directory, std::wstring_view name, FILE_INFORMATION_CLASS how,
                  bool replace) {
  if (name.size() > kMaxName) {
    return STATUS_NAME_TOO_LONG;
  }
  NameInformation information = {};
  information.replaceIfExists = replace ? TRUE : FALSE;
  information.rootDirectory = directory;
  information.fileNameLength = static_cast<ULONG>(name.size() * sizeof(wchar_t));
  std::memcpy(information.fileName, name.data(), information.fileNameLength);
  IO_STATUS_BLOCK io;
  return ::NtSetInformationFile(
      file, &io, &information,
      static_cast<ULONG>(offsetof(NameInformation, fileName) + information.fileNameLength), how);
}

// Removes the name an open file was opened by, through the handle.
void removeByHandle(HANDLE file) {
  FILE_DISPOSITION_INFO disposition = {TRUE};
  IO_STATUS_BLOCK io;
  ::NtSetInformationFile(file, &io, &disposition, sizeof disposition, FileDispositionInformation);
}

// The temporary file being written, for the interruption handler to remove by its handle. The
// lock makes "made, then noted here", "named or removed, then forgotten here" single steps for
// the handler, which runs on a thread of its own.
SRWLOCK temporaryLock = SRWLOCK_INIT;
HANDLE pendingTemporary = INVALID_HANDLE_VALUE;

BOOL WINAPI onInterruption(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  // The lock is never released: the process ends while holding it, so no write can begin.
  ::AcquireSRWLockExclusive(&temporaryLock);
  // Removed and closed, so that the file is gone when the program has ended.
  if (pendingTemporary != INVALID_HANDLE_VALUE) {
    removeByHandle(pendingTemporary);
    ::CloseHandle(pendingTemporary);
  }
  // With the status the system's own handler ends a program with; at once, since the main
  // thread may be anywhere, and every line already went out whole.
  ::TerminateProcess(::GetCurrentProcess(), static_cast<UINT>(STATUS_CONTROL_C_EXIT));
  return TRUE;
}

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

// The access rules (DACL) of the file a replacement takes the place of. The replacement is made
// with exactly these rules, shut off from its folder's, so that it never has more access than
// the original, not even for a moment; where the original had rules from its folder, it is then
// opened to the folder's again, which gives it those same rules. Not every file system keeps
// rules, so a failure here is no failure of the write.
class AccessRules {
 public:
  explicit AccessRules(HANDLE file) {
    const DWORD read = ::GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, &rules_, nullptr, &original_);
    if (read != ERROR_SUCCESS) {
      original_ = nullptr;
      denied_ = read == ERROR_ACCESS_DENIED;
      return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(original_, &control, &revision);
    inherited_ = (control & SE_DACL_PROTECTED) == 0 && hasInheritedRule(rules_);
    // Rules that are neither shut off from the folder's nor partly from it are what wine makes
    // up from a Linux file's permission bits, and could not give back as they were.
    if ((control & SE_DACL_PROTECTED) == 0 && !inherited_ && underWine()) {
      return;
    }
    kept_ = ::InitializeSecurityDescriptor(&creation_, SECURITY_DESCRIPTOR_REVISION) != 0 &&
            ::SetSecurityDescriptorDacl(&creation_, TRUE, rules_, FALSE) != 0 &&
            ::SetSecurityDescriptorControl(&creation_, SE_DACL_PROTECTED, SE_DACL_PROTECTED) != 0;
  }
  ~AccessRules() { ::LocalFree(original_); }
  AccessRules(const AccessRules&) = delete;
  AccessRules& operator=(const AccessRules&) = delete;

  // What the replacement is made with: null leaves it to the folder.
  PSECURITY_DESCRIPTOR forCreation() { return kept_ ? &creation_ : nullptr; }

  // The file keeps rules this user may not read: a replacement could not be made with them, and
  // would have its folder's instead.
  bool denied() const { return denied_; }

  void inheritAgain(HANDLE replacement) const {
    if (kept_ && inherited_) {
      ::SetSecurityInfo(replacement, SE_FILE_OBJECT,
                        DACL_SECURITY_INFORMATION | UNPROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, rules_, nullptr);
    }
  }

 private:
  PSECURITY_DESCRIPTOR original_ = nullptr;
  PACL rules_ = nullptr;
  SECURITY_DESCRIPTOR creation_ = {};
  bool inherited_ = false;
  bool kept_ = false;
  bool denied_ = false;
};

// The attributes a replacement carries over; read-only never, as such a file is not replaced.
constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                     FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

void carryAttributes(HANDLE to, DWORD attributes) {
  FILE_BASIC_INFO basic = {};
  basic.FileAttributes = attributes & kCarriedAttributes;
  if (basic.FileAttributes == 0) {
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;  // none at all, not "unchanged"
  }
  ::SetFileInformationByHandle(to, FileBasicInfo, &basic, sizeof basic);
}

// What a failed link or rename to a free name means for the output. Something in the way
// (wine refuses a directory there as access denied) lets the caller look at what it is.
WriteOutcome namingFailure(NTSTATUS status, std::string_view name, bool somethingThere) {
  if (status == STATUS_OBJECT_NAME_COLLISION ||
      (status == STATUS_ACCESS_DENIED && somethingThere)) {
    return WriteOutcome::kExists;
  }
  return refusedAsTooLong(status, name) ? WriteOutcome::kNameTooLong
                                        : failedStatus(status, WriteOutcome::kWriteFailed);
}

// The temporary file being written has a name of its own while Temporary::name is not empty; it
// is removed by its handle, relative to nothing, so it goes nowhere else whatever becomes of the
// directory's path.
void forgetName(Temporary& temporary) {
  temporary.name[0] = '\0';
}

// The steps of the file sequence.

OutputState checkNameStep(const std::string& name) {
  const std::wstring wide = widen(name);
  if (nameTooLong(name, wide)) {
    return OutputState::kNameTooLong;
  }
  return isEntryName(wide) ? OutputState::kNothing : OutputState::kUnreachable;
}

// Never through a link; ".." is the folder the one before lies in now.
OutputState openDirectoryStep(Handle at, const std::string& component, OpenedDirectory& opened) {
  const std::wstring wide = widen(component);
  const HANDLE parent = handleOf(at);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (wide == L"..") {
    const std::wstring path = finalPath(parent, VOLUME_NAME_DOS);
    const std::size_t slash = path.find_last_of(L'\\', path.size() - 2);
    handle = slash == std::wstring::npos || path.ends_with(L":\\")
                 ? INVALID_HANDLE_VALUE
                 : openDirectoryPath(path.substr(0, slash + 1), kWorkedIn);
  } else if (!isEntryName(wide)) {
    return OutputState::kUnreachable;
  } else {
    const NTSTATUS status = openAt(parent, wide, kWorkedIn, FILE_OPEN,
                                   FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, handle);
    if (nameTooLong(component, wide) || refusedAsTooLong(status, component)) {
      return OutputState::kNameTooLong;
    }
    if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND &&
        status != STATUS_OBJECT_PATH_NOT_FOUND && status != STATUS_NOT_A_DIRECTORY) {
      return failedStatus(status, OutputState::kUnreachable);
    }
  }
  FileHandle directory(handle);
  BY_HANDLE_FILE_INFORMATION information;
  if (!directory.valid() || !fileInformation(directory.get(), information) ||
      leadsElsewhere(directory.get(), information.dwFileAttributes) ||
      (wide != L".." && !isEntryOf(parent, directory.get(), wide))) {
    return OutputState::kNoDirectory;
  }
  opened.handle = stored(directory.release());
  return OutputState::kNothing;
}

Look lookStep(Handle directory, const std::string& name) {
  const HANDLE at = handleOf(directory);
  const std::wstring wide = widen(name);
  Look look;
  HANDLE opened = INVALID_HANDLE_VALUE;
  const NTSTATUS status = openAt(at, wide, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
                                 FILE_OPEN_REPARSE_POINT, opened);
  const FileHandle file(opened);
  BY_HANDLE_FILE_INFORMATION information;
  if (!NT_SUCCESS(status) || !fileInformation(file.get(), information)) {
    look.state = isMissing(status)                ? OutputState::kNothing
                 : refusedAsTooLong(status, name) ? OutputState::kNameTooLong
                                                  : failedStatus(status, OutputState::kUnreachable);
    return look;
  }
  look.identity = identityOf(information);
  if (leadsElsewhere(file.get(), information.dwFileAttributes) ||
      !isEntryOf(at, file.get(), wide)) {
    look.state = OutputState::kLink;
  } else if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
             ::GetFileType(file.get()) != FILE_TYPE_DISK) {
    look.state = OutputState::kNotAFile;
  } else {
    // Read-only means read-only, for an administrator too; so do access rules that refuse a
    // write, or a program that holds the file open against writers.
    // The file looked at is asked again through its own handle, not by its name.
    HANDLE writable = INVALID_HANDLE_VALUE;
    if ((information.dwFileAttributes & FILE_ATTRIBUTE_READONLY) == 0) {
      openAt(file.get(), L"", FILE_WRITE_DATA | SYNCHRONIZE, FILE_OPEN,
             FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, writable);
    }
    const FileHandle probe(writable);
    look.state = probe.valid() ? OutputState::kFile : OutputState::kReadOnlyFile;
  }
  return look;
}

// Followed as the system follows it, to the file it leads to, whose folder becomes the place.
bool followLinkStep(Handle directory, const std::string& name, OpenedDirectory& to,
                    std::string& toName) {
  HANDLE target = INVALID_HANDLE_VALUE;
  openAt(handleOf(directory), widen(name), FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN,
         FILE_NON_DIRECTORY_FILE, target);
  const FileHandle targetFile(target);
  std::wstring path = finalPath(target, VOLUME_NAME_DOS);
  if (path.empty()) {
    path = finalPath(target, VOLUME_NAME_GUID);
  }
  const std::size_t slash = path.rfind(L'\\');
  if (!targetFile.valid() || slash == std::wstring::npos) {
    return false;
  }
  const HANDLE folder = openDirectoryPath(path.substr(0, slash + 1), kWorkedIn);
  if (folder == INVALID_HANDLE_VALUE) {
    return false;
  }
  to.handle = stored(folder);
  narrowInto(std::wstring_view(path).substr(slash + 1), toName);
  return true;
}

// Devices and pipes are refused by their type. The access rules are read too where the file
// lets them be, for a replacement to take.
Handle openToReadStep(Handle directory, const char* name, bool followLink, FileIdentity& identity) {
  const std::wstring wide = widen(name);
  if (!isEntryName(wide) || wide.size() > kMaxName) {
    return kNoHandle;
  }
  const HANDLE at = handleOf(directory);
  const ULONG options =
      FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY | (followLink ? 0 : FILE_OPEN_REPARSE_POINT);
  constexpr ACCESS_MASK kRead = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  HANDLE opened = INVALID_HANDLE_VALUE;
  NTSTATUS status = openAt(at, wide, kRead | READ_CONTROL, FILE_OPEN, options, opened);
  if (status == STATUS_ACCESS_DENIED) {
    status = openAt(at, wide, kRead, FILE_OPEN, options, opened);
  }
  FileHandle file(opened);
  BY_HANDLE_FILE_INFORMATION information;
  if (!NT_SUCCESS(status)) {
    return failedStatus(status, kNoHandle);
  }
  if (::GetFileType(file.get()) != FILE_TYPE_DISK || !fileInformation(file.get(), information)) {
    return kNoHandle;
  }
  // Not followed means not followed under wine too, which follows every link: only the
  // opened file's path shows where it went.
  if (!followLink && !isEntryOf(at, file.get(), wide)) {
    return kNoHandle;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !followLink) {
    if (leadsElsewhere(file.get(), information.dwFileAttributes)) {
      return kNoHandle;
    }
    // A file a filter stands behind (a cloud placeholder, say): read through the filter.
    const FileIdentity found = identityOf(information);
    file.reset(reopenThroughFilter(file.get(), GENERIC_READ,
                                   FILE_NON_DIRECTORY_FILE | FILE_SEQUENTIAL_ONLY));
    if (!file.valid() || !fileInformation(file.get(), information) ||
        !sameFile(information, found)) {
      return kNoHandle;
    }
  }
  identity = identityOf(information);
  return stored(file.release());
}

bool identifyStep(Handle file, FileIdentity& identity) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!fileInformation(handleOf(file), information)) {
    return failed(false);
  }
  identity = identityOf(information);
  return true;
}

int64_t readStep(Handle file, uint64_t offset, unsigned char* buffer, int64_t length) {
  return readAt(handleOf(file), offset, buffer, length);
}

void closeStep(Handle file) {
  ::CloseHandle(handleOf(file));
}

// The folder takes new files (its rules let this user add one) on a volume that can be written.
bool mayMakeFilesStep(Handle directory) {
  DWORD flags = 0;
  if (::GetVolumeInformationByHandleW(handleOf(directory), nullptr, 0, nullptr, nullptr, &flags,
                                      nullptr, 0) != 0 &&
      (flags & FILE_READ_ONLY_VOLUME) != 0) {
    return failedWith(ERROR_WRITE_PROTECT, false);
  }
  HANDLE opened = INVALID_HANDLE_VALUE;
  const NTSTATUS status = openAt(handleOf(directory), L"", FILE_ADD_FILE | SYNCHRONIZE, FILE_OPEN,
                                 FILE_DIRECTORY_FILE, opened);
  const FileHandle probe(opened);
  return NT_SUCCESS(status) || failedStatus(status, false);
}

// ".tunewright-PID-N.tmp", which never ends in a preset extension, so a scan passes over it,
// made only relative to the output's directory handle. Nobody else may open it while it is
// written. A replacement is made with the access rules of the file it replaces; a new file
// takes its folder's, as every new file does.
WriteOutcome makeTemporaryStep(Handle directory, Handle original, const FileIdentity&, bool,
                               Temporary& temporary) {
  std::optional<AccessRules> rules;
  if (original != kNoHandle) {
    rules.emplace(handleOf(original));
    if (rules->denied()) {
      return failedWith(ERROR_ACCESS_DENIED, WriteOutcome::kCannotCreate);
    }
  }
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    char name[sizeof temporary.name];
    std::snprintf(name, sizeof name, ".tunewright-%lu-%u.tmp", ::GetCurrentProcessId(), counter++);
    ::AcquireSRWLockExclusive(&temporaryLock);
    HANDLE file = INVALID_HANDLE_VALUE;
    const NTSTATUS status = openAt(handleOf(directory), widen(name),
                                   GENERIC_WRITE | DELETE | READ_CONTROL | WRITE_DAC | SYNCHRONIZE,
                                   FILE_CREATE, FILE_NON_DIRECTORY_FILE, file,
                                   rules ? rules->forCreation() : nullptr, FILE_SHARE_DELETE);
    if (NT_SUCCESS(status)) {
      temporary.file = stored(file);
      pendingTemporary = file;
      std::memcpy(temporary.name, name, sizeof name);
    }
    ::ReleaseSRWLockExclusive(&temporaryLock);
    if (NT_SUCCESS(status)) {
      return WriteOutcome::kWritten;
    }
    if (status == STATUS_DISK_FULL) {
      return failedStatus(status, WriteOutcome::kWriteFailed);
    }
    if (status != STATUS_OBJECT_NAME_COLLISION) {
      return failedStatus(status, WriteOutcome::kCannotCreate);
    }
  }
  return WriteOutcome::kCannotCreate;
}

// A range of a file is copied through a buffer of bounded size.
bool writeStep(Temporary& temporary, const Piece& piece) {
  const HANDLE file = handleOf(temporary.file);
  if (piece.file == nullptr) {
    return writeAll(file, piece.bytes, piece.length);
  }
  constexpr int64_t kBufferSize = 1 << 20;
  static std::unique_ptr<unsigned char[]> buffer;
  if (buffer == nullptr) {
    buffer = std::make_unique<unsigned char[]>(kBufferSize);
  }
  const HANDLE from = handleOf(InputFileAccess::handle(*piece.file));
  for (uint64_t done = 0; done < piece.length;) {
    const auto wanted = static_cast<int64_t>(std::min<uint64_t>(kBufferSize, piece.length - done));
    const int64_t got = readAt(from, piece.offset + done, buffer.get(), wanted);
    if (got != wanted || !writeAll(file, buffer.get(), static_cast<uint64_t>(got))) {
      return false;
    }
    done += static_cast<uint64_t>(got);
  }
  return true;
}

// Rules that came from the folder come again from it; hidden, system and archive carry over.
bool carryMetadataStep(Handle original, Temporary& temporary) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!fileInformation(handleOf(original), information)) {
    return failed(false);
  }
  AccessRules(handleOf(original)).inheritAgain(handleOf(temporary.file));
  carryAttributes(handleOf(temporary.file), information.dwFileAttributes);
  return true;
}

bool flushStep(Temporary& temporary) {
  return ::FlushFileBuffers(handleOf(temporary.file)) != 0 || failed(false);
}

// A rename, as the file takes its place (the file then stays open, no longer temporary).
NTSTATUS renameTemporary(Temporary& temporary, HANDLE directory, std::wstring_view name,
                         bool replace) {
  ::AcquireSRWLockExclusive(&temporaryLock);
  const NTSTATUS status =
      giveName(handleOf(temporary.file), directory, name, FileRenameInformation, replace);
  if (NT_SUCCESS(status)) {
    pendingTemporary = INVALID_HANDLE_VALUE;
    forgetName(temporary);
  }
  ::ReleaseSRWLockExclusive(&temporaryLock);
  return status;
}

void discardStep(Temporary& temporary, Handle) {
  if (temporary.file == kNoHandle) {
    return;
  }
  ::AcquireSRWLockExclusive(&temporaryLock);
  const HANDLE file = handleOf(std::exchange(temporary.file, kNoHandle));
  if (temporary.name[0] != '\0') {
    removeByHandle(file);
    pendingTemporary = INVALID_HANDLE_VALUE;
    forgetName(temporary);
  }
  ::CloseHandle(file);
  ::ReleaseSRWLockExclusive(&temporaryLock);
}

// A hard link, which never replaces anything (not even a dangling link, which wine would
// rename over), then the temporary name is removed. Where the file system has no hard links, a
// rename that must not replace.
WriteOutcome keepAsNewStep(Temporary& temporary, Handle directory, const std::string& name) {
  const HANDLE at = handleOf(directory);
  const std::wstring wide = widen(name);
  NTSTATUS status = giveName(handleOf(temporary.file), at, wide, FileLinkInformation, false);
  if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_COLLISION &&
      !refusedAsTooLong(status, name)) {
    status = renameTemporary(temporary, at, wide, false);
  }
  if (!NT_SUCCESS(status)) {
    HANDLE there = INVALID_HANDLE_VALUE;
    openAt(at, wide, FILE_READ_ATTRIBUTES | SYNCHRONIZE, FILE_OPEN, FILE_OPEN_REPARSE_POINT, there);
    const FileHandle closed(there);
    return namingFailure(status, name, closed.valid());
  }
  discardStep(temporary, directory);
  return WriteOutcome::kWritten;
}

bool replaceStep(Temporary& temporary, Handle directory, const std::string& name) {
  const NTSTATUS status = renameTemporary(temporary, handleOf(directory), widen(name), true);
  return NT_SUCCESS(status) || failedStatus(status, false);
}

// Flushing the file that now has the name commits the file system's record of the rename too.
bool makeDurableStep(Temporary& temporary, Handle, bool) {
  return flushStep(temporary);
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

SystemCalls systemCalls = {
    checkNameStep,   openDirectoryStep, lookStep,  followLinkStep,   openToReadStep,
    identifyStep,    readStep,          closeStep, mayMakeFilesStep, makeTemporaryStep,
    writeStep,       carryMetadataStep, flushStep, keepAsNewStep,    replaceStep,
    makeDurableStep, discardStep,
};

void noteFailure(int code) {
  lastFailure = static_cast<DWORD>(code);
}

std::string failureReason() {
  if (lastFailure == 0) {
    return {};
  }
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, lastFailure, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string reason;
  if (length > 0) {
    narrowInto(std::wstring_view(text, length), reason);
  }
  ::LocalFree(text);
  // The system's text ends its sentence and its line, which the program's line does itself.
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' ||
                             reason.back() == ' ' || reason.back() == '.')) {
    reason.pop_back();
  }
  if (reason.empty()) {
    char code[32];
    std::snprintf(code, sizeof code, "system error %lu", lastFailure);
    reason = code;
  }
  return reason;
}

void clearFailure() {
  lastFailure = 0;
}

int failureCode() {
  return static_cast<int>(lastFailure);
}

// Not yet: one run of the Windows build's tests under wine ended a scan with status 1 that no
// later run showed, and the cause is not known.
bool readsAhead() {
  return false;
}

// Console control events come on a thread of the system's own, whatever threads there are.
std::thread startThread(void (*work)(void*), void* context) {
  return std::thread(work, context);
}

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
  const CommandLinePath split = splitCommandLinePath(path);
  return !split.directory.empty() &&
         ::GetFileAttributesW((split.directory + split.name).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Directory::~Directory() {
  if (isOpen()) {
    ::CloseHandle(handleOf(handle_));
  }
}

Directory::Directory(Directory&& other) noexcept
    : handle_(std::exchange(other.handle_, kNone)), syncable_(other.syncable_) {}

Directory& Directory::operator=(Directory&& other) noexcept {
  if (this != &other) {
    if (isOpen()) {
      ::CloseHandle(handleOf(handle_));
    }
    handle_ = std::exchange(other.handle_, kNone);
    syncable_ = other.syncable_;
  }
  return *this;
}

DirectoryOpening Directory::open(const char* path) {
  *this = Directory();
  // Its entries are the directory's path and a backslash and their names, so "C:" is the root,
  // as "C:\x" names a file there.
  std::wstring base = widen(path);
  while (!base.empty() && (base.back() == L'\\' || base.back() == L'/')) {
    base.pop_back();
  }
  const std::wstring native = directoryPath(base + L'\\');
  const HANDLE directory = openDirectoryPath(native, kListable);
  if (directory != INVALID_HANDLE_VALUE) {
    handle_ = stored(directory);
    return DirectoryOpening::kOpened;
  }
  const FileHandle searchable(openDirectoryPath(native, kWorkedIn));
  return searchable.valid() ? DirectoryOpening::kUnreadable : DirectoryOpening::kMissing;
}

const char* Directory::openParentOf(const char* path) {
  *this = Directory();
  const HANDLE directory = openDirectoryPath(splitCommandLinePath(path).directory, kWorkedIn);
  if (directory == INVALID_HANDLE_VALUE) {
    return nullptr;
  }
  handle_ = stored(directory);
  return path + nameStart(path);
}

DirectoryOpening Directory::openSubdirectory(const Directory& parent, const char* name) {
  *this = Directory();
  const std::wstring wide = widen(name);
  if (!parent.isOpen() || !isEntryName(wide)) {
    return DirectoryOpening::kMissing;
  }
  const HANDLE at = handleOf(parent.handle_);
  // The entry itself, even a link or junction, which is then no part of the scan.
  HANDLE opened = INVALID_HANDLE_VALUE;
  NTSTATUS status =
      openAt(at, wide, kListable, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT, opened);
  const bool listable = NT_SUCCESS(status);
  if (status == STATUS_ACCESS_DENIED) {
    status = openAt(at, wide, kWorkedIn, FILE_OPEN, FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT,
                    opened);
  }
  FileHandle directory(opened);
  BY_HANDLE_FILE_INFORMATION information;
  if (!NT_SUCCESS(status) || !fileInformation(directory.get(), information) ||
      leadsElsewhere(directory.get(), information.dwFileAttributes) ||
      !isEntryOf(at, directory.get(), wide)) {
    return DirectoryOpening::kMissing;
  }
  if (!listable) {
    return DirectoryOpening::kUnreadable;
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    // A folder a filter stands behind (a cloud placeholder, say): listed through the filter.
    const FileIdentity found = identityOf(information);
    directory.reset(reopenThroughFilter(directory.get(), kListable, FILE_DIRECTORY_FILE));
    if (!directory.valid() || !fileInformation(directory.get(), information) ||
        !sameFile(information, found)) {
      return DirectoryOpening::kUnreadable;
    }
  }
  handle_ = stored(directory.release());
  return DirectoryOpening::kOpened;
}

ListOutcome Directory::list(EntryVisitor visit, void* context) const {
  if (!isOpen()) {
    return ListOutcome::kFailed;
  }
  // A buffer of each listing's own, as a scan lists a subdirectory while visiting the entries of
  // its parent; aligned for the entries' 64-bit fields.
  std::vector<uint64_t> buffer(8192);
  std::string name;
  for (BOOLEAN restart = TRUE;; restart = FALSE) {
    IO_STATUS_BLOCK io;
    const NTSTATUS status =
        ::NtQueryDirectoryFile(handleOf(handle_), nullptr, nullptr, nullptr, &io, buffer.data(),
                               static_cast<ULONG>(buffer.size() * sizeof buffer[0]),
                               FileFullDirectoryInformation, FALSE, nullptr, restart);
    if (status == STATUS_NO_MORE_FILES || (restart && status == STATUS_NO_SUCH_FILE)) {
      return ListOutcome::kFinished;
    }
    if (!NT_SUCCESS(status)) {
      return failedStatus(status, ListOutcome::kFailed);
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(buffer.data());
    for (ULONG at = 0;;) {
      const auto& entry = *reinterpret_cast<const FullDirectoryEntry*>(bytes + at);
      narrowInto(std::wstring_view(entry.fileName, entry.fileNameLength / sizeof(wchar_t)), name);
      if (!visit(context, DirectoryEntry{name.c_str(), kindOf(entry)})) {
        return ListOutcome::kStopped;
      }
      if (entry.nextEntryOffset == 0) {
        break;
      }
      at += entry.nextEntryOffset;
    }
  }
}

}  // namespace tunewright::platform
