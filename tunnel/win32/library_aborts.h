// Aborts raised through the universal C runtime, which system libraries
// use (Wine's WinINet among them) and this program, built on msvcrt, does
// not: without a handler there, such an abort ends the process at once,
// with no dump and the guard not told.
#ifndef TESSARIN_TUNNEL_WIN32_LIBRARY_ABORTS_H_
#define TESSARIN_TUNNEL_WIN32_LIBRARY_ABORTS_H_

namespace tessarin {

// Once that runtime is loaded (WinINet brings it): an abort through it on a
// thread that agreed (AbortEndsThread) ends that thread alone; on any other
// it is a crash like ours (the guard told, a dump written). Any thread;
// cheap to call again.
void CatchLibraryAborts();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_LIBRARY_ABORTS_H_
