// Another program that takes the proxy over the instant it becomes ours:
// waits on the key's change notice until ProxyEnable is 1 and ProxyServer
// names our endpoint, then at once writes a server of its own. Prints
// "rewrote" (exit 0), or "timeout" (exit 1) after TIMEOUT_MS.
//
// usage: rewrite_proxy TIMEOUT_MS
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "platform/win32_handles.h"
#include "tunnel/local_proxy_endpoint.h"

namespace {

constexpr wchar_t kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr wchar_t kOtherServer[] = L"proxy.example:8080";

bool Ours(HKEY key) {
  DWORD enable = 0;
  DWORD size = sizeof(enable);
  wchar_t server[512] = {};
  DWORD server_size = sizeof(server);
  return RegGetValueW(key, nullptr, L"ProxyEnable", RRF_RT_REG_DWORD, nullptr, &enable, &size) ==
             ERROR_SUCCESS &&
         enable == 1 &&
         RegGetValueW(key, nullptr, L"ProxyServer", RRF_RT_REG_SZ, nullptr, server, &server_size) ==
             ERROR_SUCCESS &&
         std::wcscmp(server, tessarin::LocalProxyEndpoint::kSystemProxyServer) == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  const ULONGLONG deadline = GetTickCount64() + std::wcstoull(argv[1], nullptr, 10);
  HKEY raw = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kSettings, 0, KEY_NOTIFY | KEY_QUERY_VALUE | KEY_SET_VALUE,
                    &raw) != ERROR_SUCCESS) {
    return 2;
  }
  const tessarin::unique_hkey key(raw);
  const tessarin::unique_handle changed(CreateEventW(nullptr, FALSE, FALSE, nullptr));
  std::puts("watching");
  std::fflush(stdout);
  for (;;) {
    RegNotifyChangeKeyValue(key.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, changed.get(), TRUE);
    if (Ours(key.get())) {
      RegSetValueExW(key.get(), L"ProxyServer", 0, REG_SZ,
                     reinterpret_cast<const BYTE*>(kOtherServer), sizeof(kOtherServer));
      std::puts("rewrote");
      return 0;
    }
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline ||
        WaitForSingleObject(changed.get(), static_cast<DWORD>(deadline - now)) == WAIT_TIMEOUT) {
      std::puts("timeout");
      return 1;
    }
  }
}
