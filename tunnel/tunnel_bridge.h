// The native service behind "tessarin/tunnel": the state of at most one
// tunnel and the five methods that drive it.
#ifndef TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
#define TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_call_channel.h"
#include "channel/method_result.h"
#include "tunnel/os_ports.h"

namespace tessarin {

constexpr const char kTunnelChannelName[] = "tessarin/tunnel";

// All work runs on the thread that runs the window's message loop, one call
// at a time, so the state has no lock.
class TunnelBridge {
 public:
  explicit TunnelBridge(OsPorts ports) : ports_(ports) {}
  TunnelBridge(const TunnelBridge&) = delete;
  TunnelBridge& operator=(const TunnelBridge&) = delete;

  // At window creation, before the engine: paths, and the system proxy off.
  void Initialize();
  // Once the engine runs: "tessarin/tunnel" answers calls from then on.
  void InstallChannel(flutter::BinaryMessenger* messenger);
  void HandleTunnelCall(const flutter::MethodCall& call,
                        std::unique_ptr<flutter::MethodResult> result);
  // At window destruction: stops a running tunnel, touches nothing otherwise.
  void Teardown();
  // Told when a process the bridge launched has ended: if it carried the
  // active tunnel, the tunnel stops as the next "status" would stop it, so
  // the proxy never points at a dead core while nobody asks.
  void CoreExited(uint32_t process_id);
  // Released by the host window right after Teardown.
  void ReleaseChannel() { channel_.reset(); }

  // Invariants: active implies coreProcessId != 0 and a session id; outside a
  // running connect, coreProcessId != 0 implies active.
  bool active = false;
  uint32_t coreProcessId = 0;
  std::wstring appDirectory;
  std::wstring configPath;
  std::string sessionId;

 private:
  void Status(flutter::MethodResult& result);
  void Disconnect(flutter::MethodResult& result);
  void ConnectSequence(const flutter::MethodCall& call, flutter::MethodResult& result);
  // System proxy off, the known core terminated, the tunnel inactive; the
  // session id is each caller's business.
  void StopTunnel();
  // SetSystemProxy(false), and the guard released once the proxy is off.
  void SwitchProxyOff();

  OsPorts ports_;
  std::unique_ptr<flutter::MethodCallChannel> channel_;
};

}  // namespace tessarin

#endif  // TESSARIN_TUNNEL_TUNNEL_BRIDGE_H_
