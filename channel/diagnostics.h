// The channel layer reports malformed input and misuse only as fixed lines on
// standard error, each flushed at once so nothing is lost if the process dies.
#ifndef TESSARIN_CHANNEL_DIAGNOSTICS_H_
#define TESSARIN_CHANNEL_DIAGNOSTICS_H_

#include <iostream>
#include <string>

namespace flutter {

inline void LogLine(const std::string& line) { std::cerr << line << std::endl; }

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_DIAGNOSTICS_H_
