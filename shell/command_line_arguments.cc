#include "shell/command_line_arguments.h"

#include <windows.h>

#include <shellapi.h>

#include <cwchar>

std::vector<std::string> CommandLineArguments() {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (arguments == nullptr) return {};
  std::vector<std::string> result;
  for (int i = 1; i < count; ++i) result.push_back(WideToUtf8(arguments[i]));
  LocalFree(arguments);
  return result;
}

std::string WideToUtf8(const wchar_t* text) {
  if (text == nullptr) return std::string();
  const int withNul =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
  if (withNul <= 1) return std::string();
  const int length = withNul - 1;
  std::string result(static_cast<size_t>(length), '\0');
  const int converted =
      WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, static_cast<int>(std::wcslen(text)),
                          &result[0], length, nullptr, nullptr);
  if (converted == 0) return std::string();
  return result;
}
