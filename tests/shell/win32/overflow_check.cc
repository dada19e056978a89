// Built as the shipped binaries are (the same canary seeding and failure
// calls): copies its argument into an 8-byte buffer. With the stack
// protector and fortified string functions a long argument stops the
// program; without them it returns and says so. "--canary" prints the
// canary this run was seeded with.
#include <cstdint>
#include <cstdio>
#include <cstring>

extern "C" uintptr_t __stack_chk_guard;

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--canary") == 0) {
    std::printf("%016llx\n", static_cast<unsigned long long>(__stack_chk_guard));
    return 0;
  }
  char buffer[8];
  std::strcpy(buffer, argc > 1 ? argv[1] : "");
  std::printf("returned with %u bytes\n", static_cast<unsigned>(std::strlen(buffer)));
  return 0;
}
