// The command line as UTF-8 arguments for the user interface.
#ifndef TESSARIN_SHELL_COMMAND_LINE_ARGUMENTS_H_
#define TESSARIN_SHELL_COMMAND_LINE_ARGUMENTS_H_

#include <string>
#include <vector>

// Every argument after the program path, split as CommandLineToArgvW does.
std::vector<std::string> CommandLineArguments();
// Text that is not valid UTF-16 becomes the empty string.
std::string WideToUtf8(const wchar_t* text);

#endif  // TESSARIN_SHELL_COMMAND_LINE_ARGUMENTS_H_
