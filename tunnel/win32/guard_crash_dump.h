// The guard's minidump of a host that crashed, written from outside it.
#ifndef TESSARIN_TUNNEL_WIN32_GUARD_CRASH_DUMP_H_
#define TESSARIN_TUNNEL_WIN32_GUARD_CRASH_DUMP_H_

#include <windows.h>

#include <string>

namespace tessarin {

// Writes %LOCALAPPDATA%\tessarin\crashes\tessarin-<UTC>-<pid>.dmp of |host|
// (stacks, threads, modules, registers; no heap) from the CrashRecord in
// |record|, keeps the newest kCrashDumpsKept, and says what it did in one
// line (the file, or why there is none). dbghelp is loaded only here.
std::string WriteCrashDump(HANDLE host, HANDLE record);

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_GUARD_CRASH_DUMP_H_
