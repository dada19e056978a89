// Aborts from system libraries. Under Wine, WinINet fails an assertion
// (`server->addr_len`) whenever a TLS handshake through a proxy breaks: its
// fallback reconnects to the target itself, whose address a proxied request
// never resolved. It aborts through the universal C runtime, which this
// program, built on msvcrt, does not use: without a word there, such an
// abort ends the process at once, with no dump and the guard not told.
#ifndef TESSARIN_TUNNEL_WIN32_LIBRARY_ABORTS_H_
#define TESSARIN_TUNNEL_WIN32_LIBRARY_ABORTS_H_

namespace tessarin {

// Once WinINet is loaded: that assertion, on a thread that agreed
// (AbortEndsThread), ends that thread alone; any other abort through that
// runtime, on any thread, is a crash like ours (the guard told, a dump
// written). Any thread; cheap to call again. (Windows' own WinINet imports no
// such assertion: there, only the crash path is added.)
void CatchLibraryAborts();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_LIBRARY_ABORTS_H_
