// Handles the window's message loop waits on beside its messages. A wait
// of the system's thread pool costs threads of their own (under Wine about
// 1 MiB each), from the start, for a notice the window's thread handles
// anyway. All of it on the window's thread.
#ifndef TESSARIN_TUNNEL_WIN32_MESSAGE_LOOP_WAITS_H_
#define TESSARIN_TUNNEL_WIN32_MESSAGE_LOOP_WAITS_H_

#include <windows.h>

namespace tessarin {

using LoopWake = void (*)(void* context);

// |wake|(|context|) runs on the loop's thread each time |handle| is
// signalled (an auto-reset event: once per signal), until it is let go of.
// False when no more handles can be waited on.
bool WakeInMessageLoop(HANDLE handle, LoopWake wake, void* context);
void StopWakingInMessageLoop(HANDLE handle);

// For the loop: the handles to wait on (at most MAXIMUM_WAIT_OBJECTS - 1),
// their count returned; the wake of the one at |index| of them.
DWORD MessageLoopHandles(HANDLE* handles);
void WakeMessageLoopWait(DWORD index);
// Each handle signalled now is woken, without a wait: for the system's
// own loops (a window dragged, a menu open), which never wait on ours.
void PollMessageLoopWaits();
// A wait that failed (a handle closed under it): the handles that fail
// alone go, and how many did.
size_t DropFailedMessageLoopWaits();

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_MESSAGE_LOOP_WAITS_H_
