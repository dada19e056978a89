// The native service behind "tessarin/tunnel": the state of at most one
// tunnel and the five methods that drive it.
#ifndef TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
#define TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_call_channel.h"
#include "channel/method_result.h"
#include "tunnel/core_job.h"
#include "tunnel/os_ports.h"
#include "tunnel/proxy_owner.h"

namespace tessarin {

constexpr const char kTunnelChannelName[] = "tessarin/tunnel";

// What a reply says when the system does not do what tessarin set.
constexpr const char kScriptNotice[] =
    "A configuration script on this PC (AutoConfigURL) may send some traffic around tessarin.";
constexpr const char kTakenOverMessage[] =
    "Another program changed the Windows proxy; tessarin is no longer in use. Connect again to "
    "take it back.";
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
  // resumed, the network changed): while connected, one probe attempt
  // through the core, as a job; one that fails heals the tunnel. Several
  // while a job runs make none: that job settles the tunnel itself.
  void WorldChanged(const char* what);
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
  // thread has given theirs back (or the wait for it ended): a switch-off
  // that waited only for them completes, and a guard a cancelled job armed
  // goes, so that a clean end leaves no guard to do an unclean end's work
  // (but for our values still on, or put back the moment they went).
  void ProgramEnds();
  // For side-by-side measurements: the core's start check waits its whole
  // time instead of until the core listens.
  void UseFixedStartWait(bool fixed) { fixedStartWait_ = fixed; }
  // Whether a job is under way, a cancelled one included.
  bool Busy() const { return pending_ != nullptr || cancelled_ != nullptr; }
  // Whether a switch-off failed (or waits for the connections) and is to be
  // tried again: the guard stays armed meanwhile.
  bool ProxyOffPending() const { return owner_.OffPending(); }
  // While connected: whether the values are known not to be ours now.
  bool TakenOver() const { return owner_.TakenOver(); }

  // Invariants: active implies coreProcessId != 0 and a session id; outside a
  // running connect, coreProcessId != 0 implies active.
  bool active = false;
  uint32_t coreProcessId = 0;
  std::wstring appDirectory;
  std::wstring configPath;
  std::string sessionId;

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

  // What a job's call is answered with once the job is done.
  enum class JobReply { kConnect, kIdle, kProxyFailed, kInternalError, kCheck, kHeal };
  // A job and everything its end needs, moved as one.
  struct PendingJob {
    std::shared_ptr<CoreJob> job;
    std::unique_ptr<CallResult> result;  // none: nobody is to be answered
    JobReply reply = JobReply::kIdle;
    flutter::EncodableValueMap request;  // a connect's
    std::vector<uint32_t> exitNotices;   // processes that ended while it ran
  };
  struct WaitingCall {
    std::unique_ptr<flutter::MethodCall> call;
    std::unique_ptr<CallResult> result;
  };

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
  // May start a job of its own with the pending result (a failed switch-on).
  void FinishConnect(PendingJob& done);
  // The connect of a core that ended before its reply fails as one that
  // ended during its start.
  void FailEndedCore(PendingJob& done);
  // After a throw while a job's call was being answered.
  void RollBack(std::unique_ptr<CallResult> result);
  // |core| ended (with its wait) by a job, then the call answered with
  // |reply|; whatever fails on the way, the core is still ended.
  void EndCoreThenAnswer(uint32_t core, JobReply reply, std::unique_ptr<CallResult> result);
  // "INTERNAL_ERROR", unless it was answered (or there is none).
  void AnswerFailed(std::unique_ptr<CallResult> result);
  // The job runs on the worker (or here, without one); the call is answered
  // with |reply| when it is done. The caller does nothing after this. When
  // the job cannot be started, nothing of it runs: its old core is ended
  // here (without a wait) and the call is answered INTERNAL_ERROR.
  void StartJob(std::shared_ptr<CoreJob> job, JobReply reply, std::unique_ptr<CallResult> result,
                flutter::EncodableValueMap request = {});
  // Answers the calls that waited, in arrival order, until one starts a job.
  void DispatchWaiting();
  // Whether a connect would run: it carries a node it can start, and
  // nothing refuses it (a core missing, a machine policy). One that would
  // not stops nothing.
  bool UsableConnect(const flutter::MethodCall& call) const;
  // The call waits for the job under way.
  void Queue(const flutter::MethodCall& call, std::unique_ptr<CallResult> answer);
  // The tunnel's core is gone or carries nothing: the proxy off, and the
  // same document started again on the same port as a job, the session
  // kept; at most kMostHeals in kHealWindowMs, else the tunnel stops.
  // |proxy_on|: our values were on (not a heal's own again).
  void Heal(const std::string& why, bool proxy_on = true);
  void FinishCheck(PendingJob& done);
  void FinishHeal(PendingJob& done);
  // System proxy off, the known core terminated (not waited for), the
  // tunnel inactive; the session id is each caller's business. |why| goes
  // to the log. |proxy_on|: our values were on.
  void StopTunnel(const char* why, bool proxy_on = true);
  OsPorts ports_;
  ProxyGuardPort* guard_;  // never null: a guard that does nothing when there is none
  std::unique_ptr<flutter::MethodCallChannel> channel_;
  std::unique_ptr<PendingJob> pending_;    // the job under way
  std::unique_ptr<PendingJob> cancelled_;  // a cancelled job that still runs
  std::deque<WaitingCall> waiting_;
  bool fixedStartWait_ = false;
  // Everything about our values in the proxy settings, and the guard's.
  ProxyOwner owner_;
  // A resume or a network change came during a job: looked at after it.
  bool worldChangedInJob_ = false;
  // The connected tunnel's document and request, for a heal; when heals began.
  std::string tunnelConfig_;
  flutter::EncodableValueMap tunnelRequest_;
  std::deque<uint64_t> heals_;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
