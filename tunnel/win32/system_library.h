// System libraries the host needs only once it connects (WinINet, the IP
// helper, Winsock, RAS, power): loaded from the system directory at their first
// use and kept, never imported, so a start that never connects (and the
// guard) maps none of them.
#ifndef TESSARIN_TUNNEL_WIN32_SYSTEM_LIBRARY_H_
#define TESSARIN_TUNNEL_WIN32_SYSTEM_LIBRARY_H_

#include <windows.h>

namespace tessarin {

enum class SystemLibrary { kWinInet, kRasApi, kIpHelper, kWinSock, kPowerProfile };

// The named function, or nullptr when the library or the function is missing.
FARPROC SystemFunction(SystemLibrary library, const char* name);

template <typename Function>
Function SystemCall(SystemLibrary library, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(SystemFunction(library, name)));
}

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_SYSTEM_LIBRARY_H_
