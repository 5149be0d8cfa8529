// Starts a command as Explorer starts a verb or a Send To entry, and reports what the started
// program showed in its console window, for tests/install/msi_test.py under wine.
//
//   explorer_launch REPORT READY verb CLASS VERB ITEM
//       the command of HKEY_CLASSES_ROOT\CLASS\shell\VERB\command, %1, %L and %V replaced
//       by ITEM (a file's or folder's path, or the folder whose background was clicked)
//   explorer_launch REPORT READY sendto SHORTCUT ITEM...
//       the shortcut's target with its arguments, then each ITEM in quotes
//   explorer_launch REPORT READY command COMMAND
//       COMMAND as it is
//
// A program of the Windows subsystem, as Explorer is: no console and no standard handles of
// its own, so the command is started as ShellExecuteEx starts one for Explorer, in a new
// console (CREATE_NEW_CONSOLE), not inheriting handles. Once the file READY exists (an output
// of the run, so the program has already looked at its console), this program attaches to the
// started program's console, waits until "Press Enter to close." is shown or the program has
// ended, records the console's text, presses Enter and waits for the end. The REPORT, UTF-8:
//
//   command: the command line started
//   ended before prompt: yes | no
//   screen: one line of the console's text, each (only when it had one to attach to)
//   exit: the exit status

#include <windows.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr std::wstring_view kPrompt = L"Press Enter to close.";
constexpr DWORD kPollMilliseconds = 50;
constexpr int kPolls = 60 * 1000 / kPollMilliseconds;  // a minute at most for each wait

std::string utf8(std::wstring_view text) {
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(),
                        size, nullptr, nullptr);
  return bytes;
}

class Report {
 public:
  explicit Report(const wchar_t* path) : file_(::_wfopen(path, L"wb")) {}
  ~Report() {
    if (file_ != nullptr) {
      std::fclose(file_);
    }
  }
  Report(const Report&) = delete;
  Report& operator=(const Report&) = delete;

  bool valid() const { return file_ != nullptr; }
  void line(std::string_view key, std::wstring_view value) {
    std::fprintf(file_, "%.*s: %s\n", static_cast<int>(key.size()), key.data(),
                 utf8(value).c_str());
    std::fflush(file_);
  }

 private:
  FILE* file_;
};

std::wstring replaceAll(std::wstring text, std::wstring_view from, std::wstring_view to) {
  for (std::size_t at = text.find(from); at != std::wstring::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// The verb's command as Explorer makes it from the registry.
bool verbCommand(const std::wstring& verbClass, const std::wstring& verb, const std::wstring& item,
                 std::wstring& command) {
  const std::wstring key = verbClass + L"\\shell\\" + verb + L"\\command";
  wchar_t value[2048];
  DWORD size = sizeof value;
  if (::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS) {
    return false;
  }
  command = value;
  for (const wchar_t* placeholder : {L"%1", L"%L", L"%l", L"%V", L"%v"}) {
    command = replaceAll(command, placeholder, item);
  }
  return true;
}

// A Send To entry: the shortcut's target is given the selected items, after its own arguments.
bool sendToCommand(const wchar_t* shortcut, const std::vector<std::wstring>& items,
                   std::wstring& command, std::wstring& directory) {
  IShellLinkW* link = nullptr;
  if (FAILED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER,
                                IID_IShellLinkW, reinterpret_cast<void**>(&link)))) {
    return false;
  }
  IPersistFile* file = nullptr;
  wchar_t target[MAX_PATH] = L"";
  wchar_t arguments[1024] = L"";
  wchar_t workingDirectory[MAX_PATH] = L"";
  const bool loaded =
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(shortcut, STGM_READ)) &&
      SUCCEEDED(link->GetPath(target, MAX_PATH, nullptr, 0)) &&
      SUCCEEDED(link->GetArguments(arguments, 1024)) &&
      SUCCEEDED(link->GetWorkingDirectory(workingDirectory, MAX_PATH));
  if (file != nullptr) {
    file->Release();
  }
  link->Release();
  if (!loaded) {
    return false;
  }
  command = L"\"" + std::wstring(target) + L"\"";
  if (arguments[0] != L'\0') {
    command += L" " + std::wstring(arguments);
  }
  for (const std::wstring& item : items) {
    command += L" \"" + item + L"\"";
  }
  directory = workingDirectory;
  return true;
}

bool exists(const wchar_t* path) {
  return ::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool ended(HANDLE process) {
  return ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
}

// The console's text up to the cursor's line, one string a line, trailing blanks taken off.
std::vector<std::wstring> screenLines(HANDLE output) {
  std::vector<std::wstring> lines;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (::GetConsoleScreenBufferInfo(output, &info) == 0) {
    return lines;
  }
  std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
  for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
    DWORD read = 0;
    ::ReadConsoleOutputCharacterW(output, row.data(), static_cast<DWORD>(row.size()),
                                  COORD{0, y}, &read);
    std::wstring line = row.substr(0, read);
    line.erase(line.find_last_not_of(L' ') + 1);
    lines.push_back(line);
  }
  return lines;
}

bool showsPrompt(const std::vector<std::wstring>& lines) {
  for (const std::wstring& line : lines) {
    if (line == kPrompt) {
      return true;
    }
  }
  return false;
}

void pressEnter(HANDLE input) {
  INPUT_RECORD keys[2] = {};
  for (int i = 0; i < 2; ++i) {
    keys[i].EventType = KEY_EVENT;
    keys[i].Event.KeyEvent.bKeyDown = i == 0;
    keys[i].Event.KeyEvent.wRepeatCount = 1;
    keys[i].Event.KeyEvent.wVirtualKeyCode = VK_RETURN;
    keys[i].Event.KeyEvent.uChar.UnicodeChar = L'\r';
  }
  DWORD written = 0;
  ::WriteConsoleInputW(input, keys, 2, &written);
}

int run(Report& report, const wchar_t* ready, std::wstring command, const std::wstring& directory) {
  report.line("command", command);
  // Explorer has no standard handles to pass on.
  ::SetStdHandle(STD_INPUT_HANDLE, nullptr);
  ::SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  ::SetStdHandle(STD_ERROR_HANDLE, nullptr);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                       CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT | CREATE_DEFAULT_ERROR_MODE,
                       nullptr, directory.empty() ? nullptr : directory.c_str(), &startup,
                       &process) == 0) {
    report.line("error", L"the command could not be started");
    return 1;
  }
  ::CloseHandle(process.hThread);
  for (int i = 0; i < kPolls && !exists(ready) && !ended(process.hProcess); ++i) {
    ::Sleep(kPollMilliseconds);
  }
  bool prompt = false;
  bool attached = !ended(process.hProcess) && ::AttachConsole(process.dwProcessId) != 0;
  HANDLE input = INVALID_HANDLE_VALUE;
  HANDLE output = INVALID_HANDLE_VALUE;
  if (attached) {
    input = ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE,
                          FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    output = ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    for (int i = 0; i < kPolls && !ended(process.hProcess); ++i) {
      if (showsPrompt(screenLines(output))) {
        prompt = true;
        break;
      }
      ::Sleep(kPollMilliseconds);
    }
  }
  report.line("ended before prompt", prompt ? L"no" : L"yes");
  if (attached) {
    for (const std::wstring& line : screenLines(output)) {
      report.line("screen", line);
    }
    if (prompt) {
      pressEnter(input);
    }
  }
  if (::WaitForSingleObject(process.hProcess, kPolls * kPollMilliseconds) != WAIT_OBJECT_0) {
    report.line("error", L"still running after Enter: ended");
    ::TerminateProcess(process.hProcess, 255);
    ::WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD status = 0;
  ::GetExitCodeProcess(process.hProcess, &status);
  report.line("exit", std::to_wstring(status));
  ::CloseHandle(process.hProcess);
  return 0;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** arguments = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (arguments == nullptr || count < 5) {
    return 2;
  }
  Report report(arguments[1]);
  if (!report.valid()) {
    return 2;
  }
  const wchar_t* ready = arguments[2];
  const std::wstring mode = arguments[3];
  std::wstring command;
  std::wstring directory;
  if (mode == L"verb" && count == 7) {
    if (!verbCommand(arguments[4], arguments[5], arguments[6], command)) {
      report.line("error", L"no such verb");
      return 1;
    }
  } else if (mode == L"sendto") {
    ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (!sendToCommand(arguments[4], {arguments + 5, arguments + count}, command, directory)) {
      report.line("error", L"the shortcut could not be read");
      return 1;
    }
  } else if (mode == L"command" && count == 5) {
    command = arguments[4];
  } else {
    return 2;
  }
  return run(report, ready, command, directory);
}
