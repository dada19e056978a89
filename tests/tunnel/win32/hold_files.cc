// Holds each file it is given open as a tail tool or an editor does: read and
// write sharing, no delete sharing (so it can be neither moved nor deleted);
// made if missing. Until stdin closes. With --exclusive first: no sharing at
// all, so nobody can even append.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "platform/win32_handles.h"

int wmain(int argc, wchar_t** argv) {
  const bool exclusive = argc > 1 && std::wcscmp(argv[1], L"--exclusive") == 0;
  std::vector<tessarin::unique_handle> held;
  for (int i = exclusive ? 2 : 1; i < argc; ++i) {
    held.emplace_back(CreateFileW(argv[i], GENERIC_READ,
                                  exclusive ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!held.back()) return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return 0;
}
