// Prints what the entry would hand the engine: one line of hex per argument,
// so empty and non-ASCII arguments stay visible.
#include <windows.h>

#include <cstdio>

#include "shell/command_line_arguments.h"

int main() {
  for (const std::string& argument : CommandLineArguments()) {
    std::printf("[");
    for (const char c : argument) std::printf("%02x", static_cast<unsigned char>(c));
    std::printf("]\n");
  }
  return 0;
}
