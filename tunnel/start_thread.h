// The one way this program starts a thread. Nobody joins or detaches it: a
// create-then-detach lets MinGW's thread library hand the record of a thread
// whose exit is still running to the next new thread, whose body then never
// runs. Here no library record is made at all: on Windows the C runtime's own
// start, with its handle closed at once.
#ifndef TESSARIN_TUNNEL_START_THREAD_H_
#define TESSARIN_TUNNEL_START_THREAD_H_

#include <functional>

namespace tessarin {

// Runs |body| on a new thread; an exception it throws ends there, written to
// stderr after |where|. False (and |body| not run) when no thread could be had.
bool StartThread(const char* where, std::function<void()> body);

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_START_THREAD_H_
