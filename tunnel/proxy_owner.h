// The one owner of our values in the user's proxy settings: switching them
// on and off, the read-back and the takeover, our values put back with no
// tunnel, an unreadable key, the guard's re-arm and release and the logon
// reset it leaves. What it knows is one explicit state; what the guard must
// do follows from that state in one place (WantsGuard).
#ifndef TESSARIN_TUNNEL_PROXY_OWNER_H_
#define TESSARIN_TUNNEL_PROXY_OWNER_H_

#include <cstdint>
#include <functional>
#include <string>
#include <variant>

#include "tunnel/os_ports.h"

namespace tessarin {

// The transitions (state x event -> next state: actions). "read" is a read
// of ProxyEnable and ProxyServer; "ours" is exactly our server, switched on.
//
//  any          SwitchOn ok          -> On{read back}: watch; unread -> retry 1 s
//  any          SwitchOn failed      -> as SwitchOff(no tunnel)
//  any          SwitchOff done       -> Off: release (unless a job holds the
//                                       guard)
//  any          SwitchOff not done   -> SwitchingOff{back-off x2, <= 60 s}:
//                                       guard re-armed, watch, retry timer
//  any          SwitchOff done, ours on again at once
//                                    -> Back{guarded}: re-armed, retry at once
//                                       (250 ms when they were back before)
//  any          SwitchOff done, key unreadable after it
//                                    -> Back: retry at once
//  On           Changed / Retry(unread) -> On{read again}
//  Off, Back    Changed: ours        -> SwitchOff(no tunnel)
//  Off, Back    Changed: unread      -> Back{guarded}: re-armed, retry 1 s
//  SwitchingOff Changed: ours        -> SwitchOff (its own tunnel flag)
//  Back,
//  SwitchingOff Retry                -> SwitchOff (also while a job runs)
//  Off, On      Retry                -> (nothing)
//  On,
//  SwitchingOff,
//  Back{guarded} GuardExited         -> same: guard re-armed
//  Back         GuardWhatCameBack    -> Back{guarded}: guard re-armed
//  any          JobEnded             -> same: release unless WantsGuard
//
// A switch-off's takeover: values found not ours where a tunnel had them,
// judged only while its main values were not yet switched off by us (our own
// ProxyEnable=0 read on a later try is no takeover). A takeover keeps the
// logon reset at the release after it, until ours are switched off again.
class ProxyOwner {
 public:
  // Nothing of ours known on.
  struct Off {};
  // With no tunnel: our values (or a key that could not be read) were seen;
  // the retry timer switches them off. |guarded|: a guard was started for
  // them (it stays until they are off).
  struct Back {
    bool guarded = false;
  };
  // A tunnel's values went on. |takenOver|: they are not ours now;
  // |script|: a configuration script is set; |unread|: the key could not be
  // read at the last look (looked at again from the timer).
  struct On {
    bool takenOver = false;
    bool script = false;
    bool unread = false;
  };
  // A switch-off that did not complete (a write failed, or the connections
  // are still being given back), tried again after |retryMs|. |tunnel|: the
  // values were a tunnel's; |mainOff|: its main values were already found
  // not ours or switched off by it (|wroteOff|: by it); |takenOver|: its
  // takeover verdict.
  struct SwitchingOff {
    bool tunnel = false;
    bool mainOff = false;
    bool wroteOff = false;
    bool takenOver = false;
    uint32_t retryMs = 0;
  };
  using State = std::variant<Off, Back, On, SwitchingOff>;

  // |job_holds_guard|: whether a job under way may have armed the guard (it
  // is then that job's end that releases it).
  ProxyOwner(const OsPorts& ports, ProxyGuardPort* guard, std::function<bool()> job_holds_guard);

  const State& state() const { return state_; }
  bool IsOn() const { return std::holds_alternative<On>(state_); }
  bool OffPending() const { return std::holds_alternative<SwitchingOff>(state_); }
  // Whether our values are known not to be ours now (while on, or in a
  // switch-off that found them so).
  bool TakenOver() const;
  bool ScriptSeen() const;
  bool Unread() const;
  // Whether the state needs a guard watching, whatever a job does.
  bool WantsGuard() const;
  // Whether the logon reset stays at the next release.
  bool ResetKept() const { return resetKept_; }

  // Our values on (a job armed the guard before); false when they could not
  // be switched on (then they are switched off again).
  bool SwitchOn();
  // Our values off, and the guard released once they really are (unless a
  // job holds it); a failure is tried again later. |tunnel|: they were on
  // for a tunnel; |stopping|: that tunnel is still the running one.
  bool SwitchOff(bool tunnel = false, bool stopping = false);
  // The per-user values changed.
  void Changed();
  // The retry timer's time came.
  void Retry();
  // While on: whether the values are still ours (a takeover told if not).
  void Recheck();
  // The guard's process ended.
  void GuardExited();
  // A job ended: a guard nothing needs goes.
  void JobEnded();
  // Our values put back the moment a teardown switched them off: no retry
  // may come once the window is gone, so a guard watches them.
  void GuardWhatCameBack();
  // At the program's end, with no tunnel: what may still be ours is
  // switched off, and a guard watches what is left; one nothing needs goes,
  // whatever a job still running would do (nothing runs after this).
  void ProgramEnds();
  // ProxyEnable and ProxyServer as they are now (each left as given when
  // missing); false when the key cannot be read.
  bool ReadValues(uint32_t* enable, std::wstring* server);
  // Whether the values are on and exactly ours now; |known|: whether they
  // could be read at all.
  bool OurValuesOn(bool* known = nullptr);

 private:
  // The guard goes when neither the state nor a job needs it.
  void Settle();

  OsPorts ports_;
  ProxyGuardPort* guard_;
  std::function<bool()> jobHoldsGuard_;
  State state_;
  // What the next release leaves: the logon reset stays after a takeover
  // (the program that took over may put ours back), until ours are found
  // on again and switched off.
  bool resetKept_ = false;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_PROXY_OWNER_H_
