// Tells the window when the machine resumed, by the system's suspend and
// resume notification: a machine with Modern Standby may never send a window
// WM_POWERBROADCAST.
#ifndef TESSARIN_TUNNEL_WIN32_RESUME_WATCH_H_
#define TESSARIN_TUNNEL_WIN32_RESUME_WATCH_H_

#include <windows.h>

namespace tessarin {

class ResumeWatch {
 public:
  ResumeWatch() = default;
  ~ResumeWatch();
  ResumeWatch(const ResumeWatch&) = delete;
  ResumeWatch& operator=(const ResumeWatch&) = delete;

  // Once: from then on each resume posts |message| to |window|. Loads the
  // power library (so only once a tunnel is up). False when the system
  // cannot tell.
  bool Start(HWND window, UINT message);

  // What the system calls back with; it outlives the watch.
  struct Target;

 private:
  Target* target_ = nullptr;
  void* registration_ = nullptr;
  bool started_ = false;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_RESUME_WATCH_H_
