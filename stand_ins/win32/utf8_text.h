// UTF-8 and UTF-16 conversions for the Windows stand-ins, which log and
// exchange UTF-8 but talk to Windows in UTF-16. Lenient on purpose: a stand-in
// reports what it got rather than refusing it.
#ifndef TESSARIN_STAND_INS_WIN32_UTF8_TEXT_H_
#define TESSARIN_STAND_INS_WIN32_UTF8_TEXT_H_

#include <windows.h>

#include <string>

namespace stand_in {

inline std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0], length);
  return wide;
}

inline std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), &narrow[0], length,
                      nullptr, nullptr);
  return narrow;
}

}  // namespace stand_in

#endif  // TESSARIN_STAND_INS_WIN32_UTF8_TEXT_H_
