// The channel layer reports malformed input and misuse only as fixed lines on
// standard error, each flushed at once so nothing is lost if the process dies.
#ifndef TESSARIN_CHANNEL_DIAGNOSTICS_H_
#define TESSARIN_CHANNEL_DIAGNOSTICS_H_

#include <atomic>
#include <cstdio>
#include <exception>
#include <string>

namespace flutter {

// Where every line also goes, when the program has somewhere (its log): the
// line is |first| followed by |second|.
using LineSink = void (*)(const char* first, const char* second) noexcept;
inline std::atomic<LineSink>& DiagnosticsSink() {
  static std::atomic<LineSink> sink{nullptr};
  return sink;
}

inline void LogLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  if (const LineSink sink = DiagnosticsSink().load()) sink(line.c_str(), "");
}

// For the boundaries where an exception was caught (memory may be short):
// writes |first| and |second| as one line without allocating.
inline void LogLineNoThrow(const char* first, const char* second = "") noexcept {
  std::fputs(first, stderr);
  std::fputs(second, stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  if (const LineSink sink = DiagnosticsSink().load()) sink(first, second);
}

// For every entry from C or Windows into our C++: runs |body|; an exception
// is written as one line, |where| followed by what it says, and gives false.
template <typename Body>
bool RunAtBoundary(const char* where, Body&& body) noexcept {
  try {
    body();
    return true;
  } catch (const std::exception& failure) {
    LogLineNoThrow(where, failure.what());
  } catch (...) {
    LogLineNoThrow(where, "unknown exception");
  }
  return false;
}

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_DIAGNOSTICS_H_
