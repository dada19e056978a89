// Tells the window when the network the machine uses may have changed (an
// IP interface or a route came, went or changed), so that a tunnel is looked
// at again, or a wait for the network looks now.
#ifndef TESSARIN_TUNNEL_WIN32_NETWORK_WATCH_H_
#define TESSARIN_TUNNEL_WIN32_NETWORK_WATCH_H_

#include <windows.h>

namespace tessarin {

class NetworkWatch {
 public:
  NetworkWatch() = default;
  ~NetworkWatch();
  NetworkWatch(const NetworkWatch&) = delete;
  NetworkWatch& operator=(const NetworkWatch&) = delete;

  // Once: from then on a change posts |message| to |window|, once until
  // Taken. Loads the IP helper (so only once a tunnel is up). False when the
  // system cannot tell.
  bool Start(HWND window, UINT message);
  // The message was handled: the next change posts it again.
  void Taken();

  // What a notice reads; it outlives the watch (one under way when the
  // watch is cancelled still reads it).
  struct Target;

 private:
  Target* target_ = nullptr;
  HANDLE notification_ = nullptr;
  HANDLE routes_ = nullptr;
  bool started_ = false;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_WIN32_NETWORK_WATCH_H_
