// A stand-in child for the process tests. "run -c PATH" records how it was
// started and then waits to be killed; "--hold-core DIR" launches such a core
// through the real process port, records its id and waits to be killed;
// "--exit-259" exits at once with the code that reads as still active.
#include <windows.h>

#include <cstdio>
#include <string>

#include "tunnel/core_process.h"
#include "tunnel/win32/win32_os_ports.h"

namespace {

void WriteText(const std::wstring& path, const std::wstring& text) {
  FILE* file = _wfopen(path.c_str(), L"wb");
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
    ::Sleep(INFINITE);
  }
  // Exits at once with the code that also means "still running".
  if (argc == 2 && std::wstring(argv[1]) == L"--exit-259") return 259;
  if (argc == 3 && std::wstring(argv[1]) == L"--hold-core") {
    const std::wstring directory = argv[2];
    tessarin::Win32ProcessPort processes;
    const uint32_t id =
        tessarin::LaunchCore(processes, argv[0], directory + L"\\cfg.json", directory);
    WriteText(directory + L"\\core-pid.txt", std::to_wstring(id));
    ::Sleep(INFINITE);
  }
  return 2;
}
