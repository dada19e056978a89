// The minidump of a crashed host: written by the guard from outside while
// one watches, else by a thread of the host's own made ready at its start.
#ifndef TESSARIN_TUNNEL_WIN32_GUARD_CRASH_DUMP_H_
#define TESSARIN_TUNNEL_WIN32_GUARD_CRASH_DUMP_H_

#include <windows.h>

#include <string>

namespace tessarin {

struct CrashRecord;

// Writes %LOCALAPPDATA%\tessarin\crashes\tessarin-<UTC>-<pid>.dmp of |host|
// (stacks, threads, modules, registers; no heap) from the CrashRecord in
// |record|, keeps the newest kCrashDumpsKept, and says what it did in one
// line (the file, or why there is none). dbghelp is loaded only here.
std::string WriteCrashDump(HANDLE host, HANDLE record);

// The same for |process| from a copy of its record, checked first: the
// exception's parameters clamped and its chained record cleared, and a
// thread that is not |process|'s named by none.
std::string WriteCrashDumpOf(HANDLE process, DWORD process_id, const CrashRecord& record);

// Makes this process's own dump writer ready: a thread that waits for a
// crash that no guard watches and then dumps this process (dbghelp loaded
// beforehand, from the system directory). Best effort: a crash that holds
// the heap's lock may leave no dump. False when it could not be readied.
bool ReadyOwnCrashDumps();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_GUARD_CRASH_DUMP_H_
