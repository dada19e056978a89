// The native service behind "tessarin/tunnel": the state of at most one
// tunnel and the five methods that drive it.
#ifndef TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
#define TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <type_traits>
#include <variant>
#include <vector>

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_call_channel.h"
#include "channel/method_result.h"
#include "tunnel/core_job.h"
#include "tunnel/os_ports.h"
#include "tunnel/owner_thread.h"
#include "tunnel/proxy_owner.h"

namespace tessarin {

constexpr const char kTunnelChannelName[] = "tessarin/tunnel";

// What a reply says when the system does not do what tessarin set.
constexpr const char kScriptNotice[] =
    "A configuration script on this PC (AutoConfigURL) may send some traffic around tessarin.";
constexpr const char kTakenOverMessage[] =
    "Another program changed the Windows proxy; tessarin is no longer in use. Connect again to "
    "take it back.";
// "status" while the tunnel is checked or restarted: the session lives, and
// traffic does not go through it now.
constexpr const char kRestartingStage[] = "connecting";
constexpr const char kRestartingMessage[] =
    "tessarin is restarting the tunnel; until it is back, traffic does not go through it.";
constexpr const char kNoNetworkMessage[] =
    "This PC has no network now; tessarin keeps the tunnel and checks it once the network is "
    "back.";
constexpr const char kSessionEndingMessage[] =
    "Windows is ending the session, so tessarin stopped the tunnel.";
constexpr const char kMachinePolicyMessage[] =
    "Windows takes proxy settings for the whole machine by policy (ProxySettingsPerUser), so "
    "tessarin cannot route this user's traffic.";

// The state is read and written only on the thread that runs the window's
// message loop, so it has no lock. That thread never waits: the slow steps
// of a call (a core's start, the probe, a core's end) run as a CoreJob on the
// worker, and the call is answered when the job is done. Calls that arrive
// meanwhile wait, and are handled in arrival order after it, so every reply
// is the one that handling them one at a time gives.
class TunnelBridge {
 public:
  explicit TunnelBridge(OsPorts ports);
  ~TunnelBridge();
  TunnelBridge(const TunnelBridge&) = delete;
  TunnelBridge& operator=(const TunnelBridge&) = delete;

  // At window creation, before the engine: paths, and the system proxy off.
  void Initialize();
  // Once the engine runs: "tessarin/tunnel" answers calls from then on.
  void InstallChannel(flutter::BinaryMessenger* messenger);
  void HandleTunnelCall(const flutter::MethodCall& call,
                        std::unique_ptr<flutter::MethodResult> result);
  // On the platform thread, when the worker says a job is done: answers its
  // call, then the calls that waited behind it.
  void JobFinished();
  // On the platform thread, when the proxy's owner has answers: each goes on
  // from where it waited (an answer for a step left behind is dropped).
  void OwnerAnswered() { owner_.RunAnswers(); }
  // At window destruction (or a session's end, |why|): cancels a job under
  // way (its call and those waiting behind it get no reply: the engine is
  // ending), stops a running tunnel, touches nothing otherwise. Until the
  // cancelled job has ended, later calls wait: no job starts beside it.
  // With |engine_lives| (a session's end, which may be cancelled) the calls
  // it drops are answered "UNAVAILABLE".
  void Teardown(const char* why = "the window closed", bool engine_lives = false);
  // Told when a process the bridge launched has ended: if it carried the
  // active tunnel, the tunnel heals (as the next "status" would have it), so
  // the proxy never points at a dead core while nobody asks. A notice for
  // the core of a job under way is kept for that job's outcome.
  void CoreExited(uint32_t process_id);
  // Told when the world may have broken the tunnel (|what|: the machine
  // resumed, |resumed|, or the network changed): while connected, one probe
  // attempt through the core, as a job; one that fails heals the tunnel, or
  // with no network waits for one. During a job: looked at once more after
  // it, and after a resume its probe's time starts afresh.
  void WorldChanged(const char* what, bool resumed = false);
  // Told when the guard's process has ended: while the proxy may be on, it
  // is started again, off this thread.
  void GuardExited();
  // When the worker's retry time has come: a switch-off that failed is tried
  // again (and again later, each wait longer, until it works).
  void RetryProxyOff();
  // Told when the per-user proxy values changed while connected: when they
  // are no longer exactly ours, "status" says so (and a switch-off then
  // leaves them alone).
  void ProxySettingsChanged();
  // Released by the host window right after Teardown.
  void ReleaseChannel() { channel_.reset(); }
  // At the program's end, after the window is gone and the connections'
  // thread has given theirs back (or the wait for it ended): the owner
  // finishes what it was asked (a bounded wait: then the guard covers what
  // is left), a switch-off that waited only for the connections completes,
  // and a guard a cancelled job armed goes, so that a clean end leaves no
  // guard to do an unclean end's work (but for our values still on, or put
  // back the moment they went).
  void ProgramEnds();
  // For side-by-side measurements: the core's start check waits its whole
  // time instead of until the core listens.
  void UseFixedStartWait(bool fixed) { fixedStartWait_ = fixed; }
  // Whether a job is under way, a cancelled one included.
  // (Or the owner's answer is waited for.)
  bool Busy() const {
    return Run() != nullptr || std::holds_alternative<Draining>(state_) ||
           std::holds_alternative<SwitchingOn>(state_) || std::holds_alternative<Answering>(state_);
  }
  // Whether a switch-off failed (or waits for the connections) and is to be
  // tried again: the guard stays armed meanwhile. (As of the owner's last
  // step.)
  bool ProxyOffPending() const { return owner_.Look().offPending; }
  // While connected: whether the values are known not to be ours now.
  bool TakenOver() const { return owner_.Look().takenOver; }
  // Whether the owner has steps still to run: what was told it is not
  // known yet.
  bool OwnerPending() const { return owner_.Pending(); }
  // A tunnel runs: its core and session are known (a check may be under way).
  bool active() const { return Live() != nullptr; }
  // The tunnel's core (also between a connect's job and its commit); 0: none.
  uint32_t coreProcessId() const;
  // The tunnel's session, kept through a heal; empty: none.
  const std::string& sessionId() const;

  std::wstring appDirectory;
  std::wstring configPath;

 private:
  // A call's one answer: written to the log after it went out (a line that
  // fails cannot fail the call), and never sent twice.
  class CallResult : public flutter::MethodResult {
   public:
    CallResult(std::unique_ptr<flutter::MethodResult> inner, const OsPorts& ports,
               const std::string& method);
    ~CallResult() override;
    void Success(const flutter::EncodableValue* result) override;
    void Error(const std::string& code, const std::string& message,
               const flutter::EncodableValue* details) override;
    void NotImplemented() override;
    bool Answered() const { return answered_; }

   private:
    // False when it was answered before: nothing is sent then.
    bool Answer(const char* how);
    void Log(const std::string& outcome) noexcept;

    std::unique_ptr<flutter::MethodResult> inner_;
    OsPorts ports_;
    std::string method_;
    uint64_t began_;
    bool answered_ = false;
  };

  // A job and what its end needs.
  struct PendingJob {
    std::shared_ptr<CoreJob> job;
    std::unique_ptr<CallResult> result;  // none: nobody is to be answered
    std::vector<uint32_t> exitNotices;   // processes that ended while it ran
  };
  struct WaitingCall {
    std::unique_ptr<flutter::MethodCall> call;
    std::unique_ptr<CallResult> result;
  };
  // What a running tunnel carries, and what a heal starts again.
  struct Tunnel {
    uint32_t core = 0;
    std::string session;
    std::string config;
    flutter::EncodableValueMap request;
    uint64_t upSince = 0;      // TicksMs when it last came up (its connect, or a heal)
    bool healed = false;       // it came up by a heal
    uint32_t failedHeals = 0;  // heals in a row that failed or did not hold
    bool networkBack = false;  // the network came back and it is not up since
  };

  // The tunnel's lifecycle, one state at a time; each carries what exists in
  // it, and nothing else does. A step runs as a job and its completion is a
  // state of its own (JobFinished leaves Idle before it, so a completion that
  // throws leaves no stale step behind):
  //
  //  Idle        connect          -> Connecting (old tunnel's proxy off first)
  //  Idle        disconnect       -> Answering (what may be ours switched off)
  //  Connecting  job ready        -> SwitchingOn (the owner asked)
  //  SwitchingOn owner: on, core alive -> Connected (answered)
  //  SwitchingOn owner: failed, or the core gone -> Stopping | Idle
  //  Connecting  job failed       -> Idle (answered with its error)
  //  Connected   resume/network   -> Checking
  //  Connected   core gone        -> Healing | Idle (not healed: stopped)
  //  Connected   disconnect       -> Stopping (proxy off, the core's end)
  //  Connected   connect          -> Connecting (the job ends the old core)
  //  Checking    traffic          -> Connected
  //  Checking    none, no network -> Offline (the core and the proxy as they are)
  //  Checking    none / core gone -> Healing | Idle
  //  Healing     job ready        -> SwitchingOn (the owner asked) -> Connected
  //                                  | Idle (refused or failed: the session ends)
  //  Healing     job failed       -> Healing after a back-off | Idle (failed
  //                                  too often: the session ends)
  //  Healing     no network       -> Offline (not counted; the proxy off)
  //  Offline     network settled  -> Checking (core alive) | Healing
  //  Offline     core gone        -> Offline (the proxy off)
  //  Checking, Healing,
  //  Offline     disconnect or usable connect: the job cancelled, the call waits
  //  Checking, Healing,
  //  Offline     status, a refused connect: answered now, the state as it is
  //  any job     prepare, requestPermission: answered now
  //  Stopping    job done         -> Answering
  //  Answering   owner done       -> Idle (the call answered once the owner
  //                                  has run what was asked before it)
  //  any job     close            -> Draining (until the job's end is noticed)
  //  Draining    job done         -> Idle
  //  SwitchingOn,
  //  Answering   close            -> Idle (the owner's answer dropped)
  //
  // Other calls wait in every state with a job (and Draining, SwitchingOn,
  // Answering) and are handled in arrival order once it ends.
  struct Idle {};
  struct Connecting {
    PendingJob run;
    flutter::EncodableValueMap request;
    bool lookAgain = false;  // the machine or its network changed meanwhile
  };
  // A connect's or a heal's core is ready: the owner is asked to switch the
  // proxy on (|ask| its answer's number), the core is looked at again, then
  // the tunnel is committed. |done|: the job that made the core, with its
  // call (a connect's) and the exits noticed since.
  struct SwitchingOn {
    Tunnel tunnel;
    PendingJob done;
    std::string took;  // how long a heal's job took
    uint64_t ask = 0;
    bool lookAgain = false;
  };
  struct Connected {
    Tunnel tunnel;
  };
  struct Checking {
    Tunnel tunnel;
    PendingJob run;
    bool lookAgain = false;
  };
  // The old core is ended and the same document started again; the session
  // is kept (its core is 0 meanwhile).
  // |proxyOnUntil| (SteadyMs; 0: none): a quick restart leaves our proxy
  // on, traffic waiting for the new core, until then at most.
  struct Healing {
    Tunnel tunnel;
    PendingJob run;
    bool lookAgain = false;
    uint64_t proxyOnUntil = 0;
  };
  // The machine has no network: the tunnel waits for one (its job), with
  // nothing reachable, so nothing leaks; a notice makes the job look now.
  struct Offline {
    Tunnel tunnel;
    PendingJob run;
    bool afterHeal = false;  // a failed heal began it (else a check)
  };
  // A core's end (a disconnect's, a failed switch-on's, a rollback's), then
  // the call's answer.
  enum class StopReply { kIdle, kProxyFailed, kInternalError };
  struct Stopping {
    PendingJob run;
    StopReply reply = StopReply::kIdle;
  };
  // A call's answer waits until the owner has run what was asked before it
  // (a disconnect's switch-off, say).
  struct Answering {
    std::unique_ptr<CallResult> result;
    StopReply reply = StopReply::kIdle;
    uint64_t ask = 0;
  };
  // A job cancelled at a close (or a session's end) that still runs.
  // |toldEnded|: its end was told to the owner already (it had kept its
  // core, which the close ended).
  struct Draining {
    PendingJob run;
    bool toldEnded = false;
  };
  using Lifecycle = std::variant<Idle, Connecting, SwitchingOn, Connected, Checking, Healing,
                                 Offline, Stopping, Answering, Draining>;
  // Every state moves without a throw: an assignment never leaves none.
  static_assert(std::is_nothrow_move_constructible_v<Lifecycle>);

  // The job of |state|, Draining's aside; null in states without one.
  static PendingJob* RunIn(Lifecycle& state);
  PendingJob* Run();
  const PendingJob* Run() const;
  // The running tunnel (Connected, Checking, Offline with its core); null
  // otherwise.
  const Tunnel* Live() const;

  // Every call goes through here: one that throws is answered INTERNAL_ERROR
  // (unless it was handed to a job), so the calls behind it go on.
  void DispatchAtBoundary(const flutter::MethodCall& call, std::unique_ptr<CallResult> result);
  // |result| is moved out only when a job takes it.
  void Dispatch(const flutter::MethodCall& call, std::unique_ptr<CallResult>& result);
  void Status(flutter::MethodResult& result);
  void Disconnect(std::unique_ptr<CallResult>& result);
  void ConnectSequence(const flutter::MethodCall& call, std::unique_ptr<CallResult>& result);
  // A job that starts |config|'s core and probes it (a connect's, a heal's).
  std::shared_ptr<CoreJob> ConnectJob(const std::wstring& executable,
                                      const std::string& config) const;
  // Each job's completion, its state already left; may start a job of its
  // own with the pending result (a failed switch-on).
  void FinishConnect(Connecting& done);
  // The connect of a core that ended before its reply fails as one that
  // ended during its start.
  void FailEndedCore(PendingJob& done, uint32_t core);
  // After a throw while a job's call was being answered.
  void RollBack(std::unique_ptr<CallResult> result);
  // |core| ended (with its wait) by a job, then the call answered with
  // |reply|; whatever fails on the way, the core is still ended.
  void EndCoreThenAnswer(uint32_t core, StopReply reply, std::unique_ptr<CallResult> result);
  // "INTERNAL_ERROR", unless it was answered (or there is none).
  void AnswerFailed(std::unique_ptr<CallResult> result);
  // |result| answered with |reply| once the owner has run every step asked
  // before (Answering meanwhile); none: nothing.
  void AnswerAfterOwner(std::unique_ptr<CallResult> result, StopReply reply);
  void Answered(uint64_t ask);
  // A step for the owner's thread, which needs no answer.
  void Tell(std::function<void(ProxyOwner&)> step);
  // The owner's answer to a connect's switch-on.
  void ConnectSwitchedOn(uint64_t ask, ProxyOwner::SwitchedOn on);
  void CommitConnect(ProxyOwner::SwitchedOn on, std::unique_ptr<CallResult>& result);
  // The owner's answer to a heal's switch-on.
  void HealSwitchedOn(uint64_t ask, ProxyOwner::HealedOn on, const std::string& why);
  // A heal that ends the tunnel (|why|, after |took|): its kept |core| ends
  // by a job of its own, and our values go off.
  void EndHeal(uint32_t core, const std::string& took, const std::string& why);
  // Enters |next|, a state with a job, whose job runs on the worker (or
  // here, without one); its completion answers the call. The caller does
  // nothing after this. When the job cannot be started, nothing of it runs:
  // its old core is ended here (without a wait), the call is answered
  // INTERNAL_ERROR and the state is Idle.
  void StartJob(Lifecycle next);
  // Answers the calls that waited, in arrival order, until one starts a job.
  void DispatchWaiting();
  // Whether a connect would run: it carries a node it can start, and
  // nothing refuses it (a core missing, a machine policy). One that would
  // not stops nothing.
  bool UsableConnect(const flutter::MethodCall& call) const;
  // The call waits for the job under way.
  void Queue(const flutter::MethodCall& call, std::unique_ptr<CallResult> answer);
  // Connected, and its core is gone or carries nothing: the proxy off, and
  // the same document started again on the same port as a job, the session
  // kept. A heal that worked costs nothing; one that failed, or whose
  // tunnel did not hold for kHealHeldMs, is followed by the next after a
  // back-off, and kMostFailedHeals of them in a row stop the tunnel.
  // How the heal stands in the row of failed ones: it follows on (the core
  // failed), starts one afresh (a resume or a network change broke what
  // held until then), or keeps it (a spell with no network came between).
  enum class HealRow { kFollows, kAfresh, kKept };
  void Heal(const std::string& why, HealRow row = HealRow::kFollows);
  void FinishCheck(Checking& done);
  // |tunnel| waits for the network (its values off first when its core is
  // gone).
  void AwaitNetwork(Tunnel tunnel, bool after_heal);
  void FinishOffline(Offline& done);
  void FinishHeal(Healing& done);
  // The heal |done| failed (|why|, after |took|): another after its
  // back-off, or the stop.
  void HealAgain(Healing& done, const std::string& took, const std::string& why);
  // Our values off if they are on for a tunnel (a quick restart's, or one
  // whose core is gone): values already off are no tunnel's to judge.
  void SwitchOffIfOn() {
    Tell([](ProxyOwner& owner) { owner.SwitchOffIfOn(); });
  }
  // The job that starts |tunnel|'s document again after |failed| failed
  // heals' back-off; its old core is ended first.
  std::shared_ptr<CoreJob> HealJob(const Tunnel& tunnel, uint32_t failed) const;
  // Healing with |job| (HealJob's), the session kept.
  void StartHeal(Tunnel tunnel, std::shared_ptr<CoreJob> job, uint32_t failed);
  // The running tunnel's end: system proxy off, |core| terminated (not
  // waited for). |why| goes to the log. The caller leaves the tunnel's state
  // first.
  void StopTunnel(const char* why, uint32_t core);
  OsPorts ports_;
  ProxyGuardPort* guard_;  // never null: a guard that does nothing when there is none
  std::unique_ptr<flutter::MethodCallChannel> channel_;
  Lifecycle state_;
  std::deque<WaitingCall> waiting_;
  bool fixedStartWait_ = false;
  // Everything about our values in the proxy settings, and the guard's, on
  // a thread of its own; |asks_| numbers the answers waited for.
  OwnerThread owner_;
  uint64_t asks_ = 0;
  // The last switch-on asked and then withdrawn (a close came first): its
  // step, if it has not run yet, writes nothing. Read on the owner's thread.
  std::shared_ptr<std::atomic<uint64_t>> withdrawn_ = std::make_shared<std::atomic<uint64_t>>(0);
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
