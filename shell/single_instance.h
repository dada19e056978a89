// One tessarin per user session. A second start leaves the proxy, the core and
// the configuration to the first and brings the first one's window forward.
#ifndef TESSARIN_SHELL_SINGLE_INSTANCE_H_
#define TESSARIN_SHELL_SINGLE_INSTANCE_H_

#include <windows.h>

#include "platform/instance_names.h"
#include "platform/win32_handles.h"

class SingleInstance {
 public:
  enum class Outcome {
    kOwned,       // this start is the session's instance
    kHandedOver,  // another instance runs: its window was brought forward
    kGaveUp,      // another instance was ending and did not end in time
  };

  SingleInstance() = default;
  ~SingleInstance();
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  // Takes the session's named mutex, which Windows releases with the process,
  // so a crashed instance never blocks the next start. When another instance
  // holds it (or keeps it from us: access denied, as when it runs elevated),
  // its published window, if shown, is brought forward without waiting on
  // its thread; one that is ending (its window gone or hidden) is waited
  // for, up to |timeout_ms|.
  Outcome Acquire(unsigned long timeout_ms);

  // Once this instance's window exists, for a later start to find.
  void Publish(HWND window);

 private:
  tessarin::unique_handle mutex_;
  tessarin::unique_handle published_;
  bool owned_ = false;
};

#endif  // TESSARIN_SHELL_SINGLE_INSTANCE_H_
