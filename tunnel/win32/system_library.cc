#include "tunnel/win32/system_library.h"

namespace tessarin {

namespace {

HMODULE Load(const wchar_t* name) {
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Kept once loaded: a load costs the calling thread milliseconds each time
// (measured under Wine: an 18 ms answer at a first switch-on).
HMODULE Loaded(SystemLibrary library) {
  switch (library) {
    case SystemLibrary::kWinInet: {
      static const HMODULE module = Load(L"wininet.dll");
      return module;
    }
    case SystemLibrary::kRasApi: {
      static const HMODULE module = Load(L"rasapi32.dll");
      return module;
    }
    case SystemLibrary::kIpHelper: {
      static const HMODULE module = Load(L"iphlpapi.dll");
      return module;
    }
    case SystemLibrary::kWinSock: {
      static const HMODULE module = Load(L"ws2_32.dll");
      return module;
    }
  }
  return nullptr;
}

}  // namespace

FARPROC SystemFunction(SystemLibrary library, const char* name) {
  const HMODULE module = Loaded(library);
  return module != nullptr ? ::GetProcAddress(module, name) : nullptr;
}

}  // namespace tessarin
