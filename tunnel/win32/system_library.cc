#include "tunnel/win32/system_library.h"

#include <atomic>
#include <cstddef>

namespace tessarin {

namespace {

HMODULE Load(const wchar_t* name) {
  return ::LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Kept once loaded: a load costs the calling thread milliseconds each time
// (measured under Wine: an 18 ms answer at a first switch-on). One that
// failed (low memory, security software) is tried again at the next use.
HMODULE Loaded(SystemLibrary library) {
  static const wchar_t* const kNames[] = {L"wininet.dll", L"rasapi32.dll", L"iphlpapi.dll",
                                          L"ws2_32.dll", L"powrprof.dll"};
  static std::atomic<HMODULE> modules[5] = {};
  const size_t index = static_cast<size_t>(library);
  HMODULE module = modules[index].load();
  if (module == nullptr) {
    module = Load(kNames[index]);
    // (Two threads that both load it hold it twice: kept either way.)
    if (module != nullptr) modules[index].store(module);
  }
  return module;
}

}  // namespace

FARPROC SystemFunction(SystemLibrary library, const char* name) {
  const HMODULE module = Loaded(library);
  return module != nullptr ? ::GetProcAddress(module, name) : nullptr;
}

}  // namespace tessarin
