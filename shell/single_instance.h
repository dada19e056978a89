// One tessarin per user session. A second start leaves the proxy, the core and
// the configuration to the first and brings the first one's window forward.
#ifndef TESSARIN_SHELL_SINGLE_INSTANCE_H_
#define TESSARIN_SHELL_SINGLE_INSTANCE_H_

#include "platform/win32_handles.h"

// The installer finds the running program by these too (it reads them here).
constexpr wchar_t kMutexName[] = L"Local\\tessarin.single-instance";
constexpr wchar_t kWindowTitle[] = L"tessarin";

class SingleInstanceLock {
 public:
  // Takes the session's named mutex; Windows releases it with the process,
  // so a crashed instance never blocks the next start.
  SingleInstanceLock();
  ~SingleInstanceLock();
  SingleInstanceLock(const SingleInstanceLock&) = delete;
  SingleInstanceLock& operator=(const SingleInstanceLock&) = delete;

  // False when another instance of this session already holds the mutex.
  bool IsFirst() const { return first_; }

  // For a start that is not the first. A running instance's window is
  // brought forward and the answer is false. An instance that is ending
  // (its window gone or hidden) is waited for, up to |timeout_ms|: true once
  // it has ended and this one holds the mutex; false if it never ends.
  bool WaitForPreviousToEnd(unsigned long timeout_ms);

 private:
  tessarin::unique_handle mutex_;
  bool first_ = true;
};

#endif  // TESSARIN_SHELL_SINGLE_INSTANCE_H_
