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

__attribute__((constructor(101))) void SeedCanary() {
  uintptr_t seed = 0;
  if (RtlGenRandom(&seed, sizeof(seed)) && seed != 0) __stack_chk_guard = seed;
}

}  // namespace

// A canary found changed.
extern "C" void __stack_chk_fail() { FailFast(); }
// A fortified copy found past its buffer.
extern "C" void __chk_fail() { FailFast(); }
