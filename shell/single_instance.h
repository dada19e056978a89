// One tessarin per user session. A second start leaves the proxy, the core and
// the configuration to the first and brings the first one's window forward.
#ifndef TESSARIN_SHELL_SINGLE_INSTANCE_H_
#define TESSARIN_SHELL_SINGLE_INSTANCE_H_

#include "tunnel/win32/win32_handles.h"

class SingleInstanceLock {
 public:
  // Takes the session's named mutex; Windows releases it with the process,
  // so a crashed instance never blocks the next start.
  SingleInstanceLock();

  // False when another instance of this session already holds the mutex.
  bool IsFirst() const { return first_; }

 private:
  tessarin::unique_handle mutex_;
  bool first_ = true;
};

// Restores the running instance's window if minimised and brings it to the front.
void ActivateRunningInstance();

#endif  // TESSARIN_SHELL_SINGLE_INSTANCE_H_
