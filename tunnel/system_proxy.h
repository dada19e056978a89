// Points the current user's system proxy at the core's local inbound, or
// switches it off.
#ifndef TESSARIN_TUNNEL_SYSTEM_PROXY_H_
#define TESSARIN_TUNNEL_SYSTEM_PROXY_H_

#include <cstdint>
#include <functional>
#include <mutex>

#include "tunnel/os_ports.h"

namespace tessarin {

constexpr uint32_t kInternetOptionRefresh = 37;
constexpr uint32_t kInternetOptionSettingsChanged = 39;

// False only when the settings key cannot be opened; then nothing changes.
bool SetSystemProxy(ProxySettingsPort& settings, bool enable);

// For an end nobody cleaned up after: switches the proxy off only while it is
// on and still names our endpoint exactly, so a proxy the user set since is
// left alone.
// kConnectionsPending: the main values are done with, the connections are
// still being given back by their own thread (not done yet either).
enum class OurProxy { kSwitchedOff, kNotOurs, kStillOn, kConnectionsPending };
// |not_ours|, when given, tells whether the values were read and were not
// ours (whatever the connections' part returned); |main_off|, whether the
// main values were read and are now off or not ours.
OurProxy SwitchOffOurProxy(ProxySettingsPort& settings, bool* not_ours = nullptr,
                           bool* main_off = nullptr);

// What switches ask of the connections, done by a thread of their own so
// that the asking thread never waits on the dial-up service. The last thing
// asked wins: a switch-on asked after a switch-off that has not run yet is
// all that runs, and the other way round.
class BackgroundConnections {
 public:
  // |leftovers|: a run before this one may have left ours on a connection
  // (something is kept): the first switch-off waits for it to be given back.
  // A switch-off is looked at once on that thread from the start, to give
  // back what an earlier run left. |wake|: told (on the asking thread, with
  // nothing held) that there is work.
  BackgroundConnections(bool leftovers, std::function<void()> wake);
  // On the asking thread, never waiting: what SwitchConnections answers.
  // A switch-off after a switch-on (or while the first still runs) with
  // nothing of ours known on any connection (nothing kept before, no
  // switch-on running or having kept or written one since the last
  // switch-off that worked) is answered kDone at once, and still runs, for a
  // connection someone else left ours.
  ProxySettingsPort::Connections Ask(bool ours);
  // On its own thread, through its own port: does what was asked last, if
  // that is not done yet; false when there was nothing to do. |worked|:
  // whether a switch-off that was still wanted worked (the platform thread
  // is to be told).
  bool RunOnce(ProxySettingsPort& settings, bool* worked);
  // Whether what was asked last is done (or failed).
  bool Idle();
  // At each look at the list, on the connections' thread before it runs
  // what was asked: while a switch-on is what was asked last, it runs again
  // when a connection came (|came|), so that the new one carries ours too,
  // or, once done, when it did not reach every connection. Wakes nobody:
  // true when there is work.
  bool LookAgain(bool came);

 private:
  std::mutex lock_;
  std::function<void()> wake_;
  bool askedOurs_ = false;
  uint64_t asked_ = 1;  // the first switch-off, asked at start
  uint64_t done_ = 0;
  bool doneWorked_ = false;
  bool onRunning_ = false;  // a switch-on runs on the thread now
  bool mayBeOurs_;          // a switch-on kept or wrote one since the last that worked
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_SYSTEM_PROXY_H_
