// What the host and its outside guard agree on: the guard's file, its two
// modes, and the logon value that resets our proxy after a power loss.
#ifndef TESSARIN_TUNNEL_PROXY_GUARD_H_
#define TESSARIN_TUNNEL_PROXY_GUARD_H_

namespace tessarin {

// Beside tessarin.exe.
constexpr wchar_t kGuardExecutableName[] = L"tessarin-guard.exe";
// --watch HOST STOP CRASH RECORD WRITTEN: inherited handles, in decimal.
// Starts a copy of itself with --detached and the same handles, outside the
// host's process tree, and exits with that copy's process id (or, if it
// cannot, watches itself). --detached waits for the host's end (HOST, a
// process handle it may read), a clean stop (STOP) or a crash (CRASH); at a
// crash it writes a minidump of the host from what the crash left in RECORD
// (a CrashRecord mapping) and then sets WRITTEN.
constexpr wchar_t kGuardWatchSwitch[] = L"--watch";
constexpr wchar_t kGuardDetachedSwitch[] = L"--detached";
// --reset: switches our proxy off if it is still on and ours, and exits.
constexpr wchar_t kGuardResetSwitch[] = L"--reset";
// Where what each dial-up or VPN connection had before tessarin wrote it is
// kept (HKCU), so that the guard, the logon reset and the uninstaller can
// give it back.
constexpr wchar_t kKeptConnectionsKey[] = L"Software\\tessarin\\Connections";

// While a guard watches: a file mapping holding its process id (32 bits), so
// an installer can wait for that process to end before it writes its file.
constexpr wchar_t kGuardPublishedName[] = L"Local\\tessarin.proxy-guard";

// Under %LOCALAPPDATA%: the guard's minidumps of crashes,
// "tessarin-<UTC yyyymmddThhmmssZ>-<pid>.dmp", the newest kCrashDumpsKept.
constexpr wchar_t kCrashDirectory[] = L"tessarin\\crashes";
constexpr int kCrashDumpsKept = 5;
// How long a crashing host waits for its dump to be written.
constexpr unsigned long kCrashDumpWaitMs = 5000;

// HKCU. Windows deletes the value before it runs the command at logon.
constexpr wchar_t kRunOnceKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";
constexpr wchar_t kRunOnceValueName[] = L"tessarin-proxy-reset";

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_PROXY_GUARD_H_
