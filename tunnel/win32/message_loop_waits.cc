#include "tunnel/win32/message_loop_waits.h"

#include <algorithm>
#include <vector>

namespace tessarin {

namespace {

struct LoopWait {
  HANDLE handle;
  LoopWake wake;
  void* context;
};

std::vector<LoopWait>& Waits() {
  static std::vector<LoopWait>* waits = new std::vector<LoopWait>();  // lives with the process
  return *waits;
}

}  // namespace

bool WakeInMessageLoop(HANDLE handle, LoopWake wake, void* context) {
  std::vector<LoopWait>& waits = Waits();
  if (waits.size() + 1 >= MAXIMUM_WAIT_OBJECTS) return false;
  waits.push_back(LoopWait{handle, wake, context});
  return true;
}

void StopWakingInMessageLoop(HANDLE handle) {
  std::vector<LoopWait>& waits = Waits();
  waits.erase(std::remove_if(waits.begin(), waits.end(),
                             [handle](const LoopWait& wait) { return wait.handle == handle; }),
              waits.end());
}

DWORD MessageLoopHandles(HANDLE* handles) {
  const std::vector<LoopWait>& waits = Waits();
  for (size_t i = 0; i < waits.size(); ++i) handles[i] = waits[i].handle;
  return static_cast<DWORD>(waits.size());
}

void WakeMessageLoopWait(DWORD index) {
  if (index >= Waits().size()) return;
  // A copy runs: its wake may let go of it.
  const LoopWait wait = Waits()[index];
  wait.wake(wait.context);
}

void PollMessageLoopWaits() {
  for (DWORD i = 0; i < Waits().size(); ++i) {
    if (::WaitForSingleObject(Waits()[i].handle, 0) == WAIT_OBJECT_0) WakeMessageLoopWait(i);
  }
}

size_t DropFailedMessageLoopWaits() {
  std::vector<LoopWait>& waits = Waits();
  const size_t before = waits.size();
  waits.erase(std::remove_if(waits.begin(), waits.end(),
                             [](const LoopWait& wait) {
                               return ::WaitForSingleObject(wait.handle, 0) == WAIT_FAILED;
                             }),
              waits.end());
  return before - waits.size();
}

}  // namespace tessarin
