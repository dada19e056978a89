// The stack protector's canary and its failure calls, in place of libssp's:
// libssp seeds the canary through the CryptoAPI, which under Wine loads the
// crypto and window libraries into every process (5 MiB more for the guard,
// measured). The system's own generator (RtlGenRandom) needs nothing more.
// Compiled without the protector: it changes the canary.
#include <windows.h>
// After windows.h, which it needs.
#include <ntsecapi.h>

#include <cstdint>

extern "C" {
// Replaced before main by a random value; a fixed one until then.
uintptr_t __stack_chk_guard = static_cast<uintptr_t>(0x5a17c0d3e2b4f961ULL);
[[noreturn]] void __stack_chk_fail();
[[noreturn]] void __chk_fail();
}

namespace {

// As /GS does: no handler runs on a smashed stack, the process just ends.
[[noreturn]] void FailFast() noexcept {
  for (;;) ::TerminateProcess(::GetCurrentProcess(), 0xC0000409);  // STATUS_STACK_BUFFER_OVERRUN
}

// One step of splitmix64: every input bit reaches every output bit.
uint64_t Mix(uint64_t value) {
  value += 0x9e3779b97f4a7c15ULL;
  value = (value ^ (value >> 30)) * 0xbf58476d1ce4e5b9ULL;
  value = (value ^ (value >> 27)) * 0x94d049bb133111ebULL;
  return value ^ (value >> 31);
}

__attribute__((constructor(101))) void SeedCanary() {
  uint64_t seed = 0;
  if (!RtlGenRandom(&seed, sizeof(seed)) || seed == 0) {
    // Never the constant above: what differs from run to run, mixed, as
    // other runtimes do when the system's generator fails.
    LARGE_INTEGER counter = {};
    ::QueryPerformanceCounter(&counter);
    FILETIME now = {};
    ::GetSystemTimeAsFileTime(&now);
    int here = 0;
    seed = Mix(static_cast<uint64_t>(counter.QuadPart));
    seed = Mix(seed ^ ((static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime));
    seed = Mix(seed ^
               ((static_cast<uint64_t>(::GetCurrentProcessId()) << 32) | ::GetCurrentThreadId()));
    seed = Mix(seed ^ ::GetTickCount64() ^ reinterpret_cast<uintptr_t>(&here));
  }
  // A zero byte first, as the C runtimes do: a string copy stops at it.
  __stack_chk_guard = static_cast<uintptr_t>(seed & ~static_cast<uint64_t>(0xff));
  if (__stack_chk_guard == 0) __stack_chk_guard = static_cast<uintptr_t>(0x5a17c0d3e2b4f900ULL);
}

}  // namespace

// A canary found changed.
extern "C" void __stack_chk_fail() { FailFast(); }
// A fortified copy found past its buffer.
extern "C" void __chk_fail() { FailFast(); }
