// Starts the guard beside it exactly as the host does, keeps it armed for the
// given milliseconds, then releases it.
#include <windows.h>

#include <cwchar>

#include "tunnel/win32/win32_os_ports.h"
#include "tunnel/win32/win32_proxy_guard.h"

int wmain(int argc, wchar_t** argv) {
  tessarin::Win32SystemPort system;
  tessarin::Win32ProxyGuard guard(&system);
  guard.Arm();
  Sleep(argc > 1 ? static_cast<DWORD>(std::wcstoul(argv[1], nullptr, 10)) : 3000);
  guard.Release();
  return 0;
}
