#include "tunnel/win32/win32_proxy_settings.h"

#include <vector>

namespace tessarin {

namespace {

constexpr wchar_t kInternetSettingsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

}  // namespace

bool Win32ProxySettingsPort::Open(REGSAM access) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, access, &key) != ERROR_SUCCESS) {
    return false;
  }
  key_.reset(key);
  return true;
}

bool Win32ProxySettingsPort::OpenSettingsKey() { return Open(KEY_SET_VALUE); }

bool Win32ProxySettingsPort::OpenSettingsKeyToCheck() {
  return Open(KEY_SET_VALUE | KEY_QUERY_VALUE);
}

bool Win32ProxySettingsPort::SetDwordValue(const std::wstring& name, uint32_t value) {
  const DWORD data = value;
  return ::RegSetValueExW(key_.get(), name.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&data), sizeof(data)) == ERROR_SUCCESS;
}

bool Win32ProxySettingsPort::SetStringValue(const std::wstring& name, const std::wstring& text) {
  return ::RegSetValueExW(key_.get(), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool Win32ProxySettingsPort::ReadDwordValue(const std::wstring& name, uint32_t* value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (::RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &data, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  *value = data;
  return true;
}

bool Win32ProxySettingsPort::ReadStringValue(const std::wstring& name, std::wstring* text) {
  DWORD size = 0;
  if (::RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  // The value may change between the two reads; a grown one fails the second.
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (::RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, buffer.data(),
                     &size) != ERROR_SUCCESS) {
    return false;
  }
  text->assign(buffer.data());
  return true;
}

void Win32ProxySettingsPort::NotifyInternetOption(uint32_t option) {
  // Looked up when needed: the guard never loads WinINet unless it must
  // tell running programs that their proxy changed.
  using SetOption = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, DWORD);
  // From the system directory only, never a wininet.dll planted beside us.
  const unique_hmodule wininet(
      ::LoadLibraryExW(L"wininet.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
  if (!wininet) return;
  const auto set_option = reinterpret_cast<SetOption>(
      reinterpret_cast<void*>(::GetProcAddress(wininet.get(), "InternetSetOptionW")));
  if (set_option != nullptr) set_option(nullptr, option, nullptr, 0);
}

}  // namespace tessarin
