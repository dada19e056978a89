// The native service behind "tessarin/tunnel": the state of at most one
// tunnel and the five methods that drive it.
#ifndef TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
#define TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_

#include <cstdint>
#include <deque>
#include <memory>
#include <string>

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_call_channel.h"
#include "channel/method_result.h"
#include "tunnel/core_job.h"
#include "tunnel/os_ports.h"

namespace tessarin {

constexpr const char kTunnelChannelName[] = "tessarin/tunnel";

// The state is read and written only on the thread that runs the window's
// message loop, so it has no lock. That thread never waits: the slow steps
// of a call (a core's start, the probe, a core's end) run as a CoreJob on the
// worker, and the call is answered when the job is done. Calls that arrive
// meanwhile wait, and are handled in arrival order after it, so every reply
// is the one that handling them one at a time gives.
class TunnelBridge {
 public:
  explicit TunnelBridge(OsPorts ports);
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
  // ending), stops a running tunnel, touches nothing otherwise.
  void Teardown(const char* why = "the window closed");
  // Told when a process the bridge launched has ended: if it carried the
  // active tunnel, the tunnel stops as the next "status" would stop it, so
  // the proxy never points at a dead core while nobody asks.
  void CoreExited(uint32_t process_id);
  // Told when the guard's process has ended: while the proxy is on, it is
  // started again at once.
  void GuardExited();
  // Released by the host window right after Teardown.
  void ReleaseChannel() { channel_.reset(); }
  // For side-by-side measurements: the core's start check waits its whole
  // time instead of until the core listens.
  void UseFixedStartWait(bool fixed) { fixedStartWait_ = fixed; }
  // Whether a job is under way.
  bool Busy() const { return job_ != nullptr; }

  // Invariants: active implies coreProcessId != 0 and a session id; outside a
  // running connect, coreProcessId != 0 implies active.
  bool active = false;
  uint32_t coreProcessId = 0;
  std::wstring appDirectory;
  std::wstring configPath;
  std::string sessionId;

 private:
  // What a job's call is answered with once the job is done.
  enum class JobReply { kConnect, kIdle, kProxyFailed, kInternalError };
  struct WaitingCall {
    std::unique_ptr<flutter::MethodCall> call;
    std::unique_ptr<flutter::MethodResult> result;
  };

  void Dispatch(const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result);
  void Status(flutter::MethodResult& result);
  void Disconnect(std::unique_ptr<flutter::MethodResult> result);
  void ConnectSequence(const flutter::MethodCall& call,
                       std::unique_ptr<flutter::MethodResult> result);
  // May start a job of its own with |result| (a failed switch-on).
  void FinishConnect(const CoreJob& job, std::unique_ptr<flutter::MethodResult>& result);
  // After a throw while a job's call was being answered.
  void RollBack(std::unique_ptr<flutter::MethodResult> result);
  // The job runs on the worker (or here, without one); the call is answered
  // with |reply| when it is done. The caller does nothing after this.
  void StartJob(std::shared_ptr<CoreJob> job, JobReply reply,
                std::unique_ptr<flutter::MethodResult> result);
  // System proxy off, the known core terminated, the tunnel inactive; the
  // session id is each caller's business. |why| goes to the log.
  void StopTunnel(const char* why);
  // The system proxy on, the guard armed before it; false when it could not
  // be switched on (then it is off again).
  bool ProxyOn();
  // The system proxy off, and the guard released only once it really is.
  bool ProxyOff();

  OsPorts ports_;
  ProxyGuardPort* guard_;  // never null: a guard that does nothing when there is none
  std::unique_ptr<flutter::MethodCallChannel> channel_;
  // The job under way, its call's result and reply, and the connect's request.
  std::shared_ptr<CoreJob> job_;
  std::unique_ptr<flutter::MethodResult> jobResult_;
  JobReply jobReply_ = JobReply::kIdle;
  flutter::EncodableValueMap jobRequest_;
  std::deque<WaitingCall> waiting_;
  bool fixedStartWait_ = false;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
