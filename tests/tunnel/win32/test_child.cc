// A stand-in child for the process tests. "run -c PATH" records how it was
// started and then waits to be killed; "--hold-core DIR" launches such a core
// through the real process port, records its id and waits to be killed;
// "--exit-259" exits at once with the code that reads as still active;
// "--spawn LINE" runs LINE unchanged and exits with its exit code;
// "--close-app" ends tessarin's session as Restart Manager does;
// "--arm-guard" arms the proxy guard and waits to be killed.
#include <windows.h>

#include <share.h>

#include <cstdio>
#include <string>

#include "platform/win32_handles.h"
#include "tunnel/core_process.h"
#include "tunnel/win32/win32_os_ports.h"
#include "tunnel/win32/win32_proxy_guard.h"

namespace {

void WriteText(const std::wstring& path, const std::wstring& text) {
  FILE* file = _wfsopen(path.c_str(), L"wb", _SH_DENYNO);
  if (file == nullptr) return;
  std::fwrite(text.data(), sizeof(wchar_t), text.size(), file);
  std::fclose(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 4 && std::wstring(argv[1]) == L"run" && std::wstring(argv[2]) == L"-c") {
    wchar_t directory[MAX_PATH] = {};
    ::GetCurrentDirectoryW(MAX_PATH, directory);
    WriteText(std::wstring(directory) + L"\\child-report.txt",
              std::wstring(::GetCommandLineW()) + L"\n" + directory + L"\n");
    // A core that starts a child of its own, as real cores may.
    const std::wstring config = argv[3];
    if (config.size() > 10 && config.substr(config.size() - 10) == L"spawn.json") {
      wchar_t self[MAX_PATH] = {};
      ::GetModuleFileNameW(nullptr, self, MAX_PATH);
      std::wstring line = L"\"" + std::wstring(self) + L"\" --sleep";
      STARTUPINFOW startup = {};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION info = {};
      if (::CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                           nullptr, &startup, &info)) {
        ::CloseHandle(info.hThread);
        ::CloseHandle(info.hProcess);
        WriteText(std::wstring(directory) + L"\\grandchild-pid.txt",
                  std::to_wstring(info.dwProcessId));
      }
    }
    ::Sleep(INFINITE);
  }
  if (argc == 2 && std::wstring(argv[1]) == L"--sleep") ::Sleep(INFINITE);
  // A host with its proxy guarded, waiting to be killed.
  if (argc == 2 && std::wstring(argv[1]) == L"--arm-guard") {
    tessarin::Win32SystemPort system;
    tessarin::Win32ProxyGuard guard(&system);
    guard.Arm();
    ::Sleep(INFINITE);
  }
  // Exits at once with the code that also means "still running".
  if (argc == 2 && std::wstring(argv[1]) == L"--exit-259") return 259;
  // Runs a command line exactly as typed (Wine's launcher would quote an
  // argument with spaces, which an installer's "/D=" does not accept).
  if (argc == 3 && std::wstring(argv[1]) == L"--spawn") {
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::wstring command_line = argv[2];
    if (!::CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &info)) {
      return 3;
    }
    const tessarin::unique_handle process(info.hProcess);
    const tessarin::unique_handle thread(info.hThread);
    ::WaitForSingleObject(process.get(), INFINITE);
    DWORD code = 3;
    ::GetExitCodeProcess(process.get(), &code);
    return static_cast<int>(code);
  }
  // Restart Manager's way of closing a program: an end of session for it alone.
  if (argc == 2 && std::wstring(argv[1]) == L"--close-app") {
    const HWND window = ::FindWindowW(L"FLUTTER_RUNNER_WIN32_WINDOW", L"tessarin");
    if (window == nullptr) return 3;
    ::SendMessageW(window, WM_QUERYENDSESSION, 0, ENDSESSION_CLOSEAPP);
    ::SendMessageW(window, WM_ENDSESSION, TRUE, ENDSESSION_CLOSEAPP);
    return 0;
  }
  if (argc == 3 && std::wstring(argv[1]) == L"--hold-core") {
    const std::wstring directory = argv[2];
    tessarin::Win32ProcessPort processes;
    const uint32_t id =
        tessarin::LaunchCore(processes, argv[0], directory + L"\\spawn.json", directory);
    WriteText(directory + L"\\core-pid.txt", std::to_wstring(id));
    ::Sleep(INFINITE);
  }
  return 2;
}
