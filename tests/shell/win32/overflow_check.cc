// Built with the project's flags: copies its argument into an 8-byte buffer.
// With the stack protector and fortified string functions a long argument
// stops the program; without them it returns and says so.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  char buffer[8];
  std::strcpy(buffer, argc > 1 ? argv[1] : "");
  std::printf("returned with %u bytes\n", static_cast<unsigned>(std::strlen(buffer)));
  return 0;
}
