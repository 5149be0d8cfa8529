// Starts tunewright as Explorer does and reports what its console window showed (msi_test.py).
//
//   explorer_launch REPORT READY verb CLASS VERB ITEM   HKEY_CLASSES_ROOT\CLASS\shell\VERB's
//                                                       command, ITEM for %1, %L and %V
//   explorer_launch REPORT READY sendto SHORTCUT ITEM...  the shortcut's target and arguments,
//                                                       then each ITEM in quotes
//   explorer_launch REPORT READY run NAME               NAME as Win+R runs it (ShellExecuteEx)
//
// A program of the Windows subsystem without standard handles, as Explorer is, starting the
// command in a console of its own as ShellExecuteEx does for Explorer (CREATE_NEW_CONSOLE).
// Once the file READY exists (an output of the run: the program has looked at its console by
// then) it attaches to that console, waits for "Press Enter to close.", records the console's
// lines, presses Enter and waits for the end. REPORT gets, in UTF-8, "command: ..." (verb and
// sendto), "prompt: yes|no", a "screen: ..." line for each line of the console, "exit: N".

#include <windows.h>

#include <shellapi.h>
#include <shobjidl.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

FILE* report = nullptr;

void say(const char* key, const std::wstring& value) {
  const int size =
      ::WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, value.c_str(), -1, bytes.data(), size, nullptr, nullptr);
  std::fprintf(report, "%s: %s\n", key, bytes.c_str());
}

std::wstring verbCommand(const std::wstring& verbClass, const wchar_t* verb,
                         const std::wstring& item) {
  wchar_t value[2048] = L"";
  DWORD size = sizeof value;
  ::RegGetValueW(HKEY_CLASSES_ROOT, (verbClass + L"\\shell\\" + verb + L"\\command").c_str(),
                 nullptr, RRF_RT_REG_SZ, nullptr, value, &size);
  std::wstring command = value;
  for (const wchar_t* placeholder : {L"%1", L"%L", L"%l", L"%V", L"%v"}) {
    for (std::size_t at = command.find(placeholder); at != std::wstring::npos;
         at = command.find(placeholder, at + item.size())) {
      command.replace(at, 2, item);
    }
  }
  return command;
}

std::wstring sendToCommand(const wchar_t* shortcut, const std::vector<std::wstring>& items) {
  ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  IShellLinkW* link = nullptr;
  IPersistFile* file = nullptr;
  wchar_t target[MAX_PATH] = L"";
  wchar_t arguments[1024] = L"";
  if (SUCCEEDED(::CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                   reinterpret_cast<void**>(&link))) &&
      SUCCEEDED(link->QueryInterface(IID_IPersistFile, reinterpret_cast<void**>(&file))) &&
      SUCCEEDED(file->Load(shortcut, STGM_READ))) {
    link->GetPath(target, MAX_PATH, nullptr, 0);
    link->GetArguments(arguments, 1024);
  }
  std::wstring command = L"\"" + std::wstring(target) + L"\" " + arguments;
  for (const std::wstring& item : items) {
    command += L" \"" + item + L"\"";
  }
  return command;
}

HANDLE start(const std::wstring& mode, std::wstring command) {
  // Explorer has no standard handles to pass on.
  for (const DWORD stream : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    ::SetStdHandle(stream, nullptr);
  }
  if (mode == L"run") {
    SHELLEXECUTEINFOW execute = {};
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    execute.lpFile = command.c_str();
    execute.nShow = SW_SHOWNORMAL;
    return ::ShellExecuteExW(&execute) != 0 ? execute.hProcess : nullptr;
  }
  say("command", command);
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE,
                       CREATE_NEW_CONSOLE | CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup,
                       &process) == 0) {
    return nullptr;
  }
  ::CloseHandle(process.hThread);
  return process.hProcess;
}

// The console's lines up to the cursor's, without trailing blanks.
std::vector<std::wstring> screen(HANDLE output) {
  std::vector<std::wstring> lines;
  CONSOLE_SCREEN_BUFFER_INFO info;
  if (::GetConsoleScreenBufferInfo(output, &info) != 0) {
    std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
      DWORD read = 0;
      ::ReadConsoleOutputCharacterW(output, row.data(), static_cast<DWORD>(row.size()), COORD{0, y},
                                    &read);
      const std::wstring line = row.substr(0, read);
      lines.push_back(line.substr(0, line.find_last_not_of(L' ') + 1));
    }
  }
  return lines;
}

bool running(HANDLE process) {
  return ::WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int count = 0;
  wchar_t** argument = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (count < 5 || (report = ::_wfopen(argument[1], L"wb")) == nullptr) {
    return 2;
  }
  const std::wstring mode = argument[3];
  const std::wstring command =
      mode == L"verb" && count == 7 ? verbCommand(argument[4], argument[5], argument[6])
      : mode == L"sendto"           ? sendToCommand(argument[4], {argument + 5, argument + count})
                                    : argument[4];
  const HANDLE process = start(mode, command);
  if (process == nullptr) {
    say("error", L"not started: " + command);
    return 1;
  }
  constexpr int kPolls = 1200;  // a minute at most, for each wait
  for (int i = 0; i < kPolls && running(process) &&
                  ::GetFileAttributesW(argument[2]) == INVALID_FILE_ATTRIBUTES;
       ++i) {
    ::Sleep(50);
  }
  bool prompt = false;
  if (running(process) && ::AttachConsole(::GetProcessId(process)) != 0) {
    const HANDLE output =
        ::CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    std::vector<std::wstring> lines;
    for (int i = 0; i < kPolls && running(process) && !prompt; ++i) {
      lines = screen(output);
      for (const std::wstring& line : lines) {
        prompt = prompt || line == L"Press Enter to close.";
      }
      ::Sleep(prompt ? 0 : 50);
    }
    for (const std::wstring& line : lines) {
      say("screen", line);
    }
    INPUT_RECORD keys[2] = {};
    for (int i = 0; i < 2; ++i) {
      keys[i].EventType = KEY_EVENT;
      keys[i].Event.KeyEvent = {i == 0, 1, VK_RETURN, 0, {L'\r'}, 0};
    }
    // Again until it ends: the program drops the keys pressed before it asked.
    const HANDLE input =
        ::CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                      nullptr, OPEN_EXISTING, 0, nullptr);
    for (int i = 0; i < kPolls / 10 && running(process); ++i) {
      DWORD written = 0;
      ::WriteConsoleInputW(input, keys, 2, &written);
      ::WaitForSingleObject(process, 500);
    }
  }
  say("prompt", prompt ? L"yes" : L"no");
  if (::WaitForSingleObject(process, kPolls * 50) == WAIT_TIMEOUT) {
    ::TerminateProcess(process, 255);
  }
  DWORD status = 0;
  ::GetExitCodeProcess(process, &status);
  say("exit", std::to_wstring(status));
  std::fclose(report);
  return 0;
}
