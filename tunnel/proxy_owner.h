// The one owner of our values in the user's proxy settings: switching them
// on and off, the read-back and the takeover, our values put back with no
// tunnel, an unreadable key, the guard's re-arm and release and the logon
// reset it leaves. What it knows is one explicit state; what the guard must
// do follows from that state in one place (WantsGuard).
#ifndef TESSARIN_TUNNEL_PROXY_OWNER_H_
#define TESSARIN_TUNNEL_PROXY_OWNER_H_

#include <atomic>
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
//  any          JobBegins            -> same (a job that may arm the guard runs)
//  any          JobEnded             -> same: release unless WantsGuard or
//                                       another job runs
//  On           HealBegins(quick), ours and read
//                                    -> On (a quick restart: traffic waits)
//  On           HealBegins otherwise -> SwitchOff(tunnel)
//  On           QuickRestartOver     -> SwitchOff(tunnel)
//  any          HealSwitchOn: read, our server, no takeover judged (and on
//               if left on)          -> SwitchOn; otherwise the same, refused
//
// A tunnel's switch-off that finds them not ours ends in Off{takenOver}: a
// heal's switch-on never takes them back from there (a connect's does).
//
// A switch-off's takeover: values found not ours where a tunnel had them,
// judged only while its main values were not yet switched off by us (our own
// ProxyEnable=0 read on a later try is no takeover). A takeover keeps the
// logon reset at the release after it, until ours are switched off again.
class ProxyOwner {
 public:
  // Nothing of ours known on. |takenOver|: a tunnel's values were found not
  // ours at their switch-off (another program's, or the user's untick).
  struct Off {
    bool takenOver = false;
  };
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

  // |retry_after|(ms): the retry timer, whose time calls Retry; none: no
  // retry (nor a look again) is ever due.
  ProxyOwner(const OsPorts& ports, ProxyGuardPort* guard,
             std::function<void(uint32_t)> retry_after);

  // What the platform thread may know at once: a copy made after each step.
  struct View {
    bool on = false;
    bool takenOver = false;
    bool script = false;
    bool unread = false;
    bool offPending = false;
  };
  View Look() const;

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
  // A job that may arm the guard (a connect's, a heal's) runs: the guard is
  // that job's end's to release. Told from any thread, at once, before the
  // job starts (a step queued before it may release).
  void JobBegins() { jobsArming_.fetch_add(1); }
  // Such a job ended: a guard nothing needs goes.
  void JobEnded();
  // A connect's core is ready: our values on, unless the guard its job armed
  // was lost since (then nothing is written).
  enum class SwitchedOn { kOn, kFailed, kGuardLost };
  SwitchedOn ConnectSwitchOn(bool guard_armed);
  // A heal begins: a quick restart (|quick|) leaves our values on while they
  // are ours and readable now; otherwise they go off. Whether they stay on.
  bool HealBegins(bool quick);
  // A quick restart's time ran out: our values off until the tunnel is back.
  void QuickRestartOver();
  // A heal's new core is ready: ours on again, unless the values changed
  // meanwhile (not read, not our server, a takeover judged, or switched off
  // by someone while left on); |why| says what refused it.
  enum class HealedOn { kOn, kOnThroughout, kRefused, kFailed };
  HealedOn HealSwitchOn(bool guard_armed, std::string* why);
  // Our values off if a tunnel holds them on (values already off are no
  // tunnel's to judge).
  void SwitchOffIfOn() {
    if (IsOn()) SwitchOff(true);
  }
  // At a close or a session's end: values a tunnel holds on (or a quick
  // restart's) off; with none, what may be ours, put back by another
  // program, goes, and a switch-off still to be tried gets its last try. A
  // guard watches what came back the moment they went. (By the owner's own
  // state: what the bridge knows may be a step behind.)
  void AtTeardown();
  // Our values put back the moment a teardown switched them off: no retry
  // may come once the window is gone, so a guard watches them.
  void GuardWhatCameBack();
  // At the program's end, with no tunnel: what may still be ours is
  // switched off, and a guard watches what is left; one nothing needs goes,
  // whatever a job still running would do (nothing runs after this).
  void ProgramEnds();
  // A step threw part way: what it did is looked at again soon.
  void StepFailed();
  // ProxyEnable and ProxyServer as they are now (each left as given when
  // missing); false when the key cannot be read.
  bool ReadValues(uint32_t* enable, std::wstring* server);
  // Whether the values are on and exactly ours now; |known|: whether they
  // could be read at all.
  bool OurValuesOn(bool* known = nullptr);

 private:
  // The guard goes when neither the state nor a job needs it.
  void Settle();
  bool SwitchOnOnce();
  // |found_not_ours|, |found_main_off|: as SwitchOffOurProxy tells them,
  // as far as it got.
  bool SwitchOffOnce(bool tunnel, bool stopping, bool* found_not_ours, bool* found_main_off);
  // A switch that threw part way, having found what it says: a switch-off
  // to be tried again.
  void Interrupted(bool tunnel, bool not_ours, bool main_off);

  void RetryAfter(uint32_t ms) {
    if (retryAfter_) retryAfter_(ms);
  }

  OsPorts ports_;
  ProxyGuardPort* guard_;
  std::function<void(uint32_t)> retryAfter_;
  State state_;
  // Jobs under way that may have armed the guard.
  std::atomic<uint32_t> jobsArming_{0};
  // What the next release leaves: the logon reset stays after a takeover
  // (the program that took over may put ours back), until ours are found
  // on again and switched off.
  bool resetKept_ = false;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_PROXY_OWNER_H_
