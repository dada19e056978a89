#include "tunnel/tunnel_bridge.h"

#include "channel/standard_method_codec.h"
#include "tunnel/core_process.h"
#include "tunnel/status_reports.h"
#include "tunnel/system_proxy.h"

namespace tessarin {

using flutter::EncodableValue;

void TunnelBridge::Initialize() {
  appDirectory = ApplicationDirectory(*ports_.system);
  configPath = CoreConfigPath(appDirectory);
  // Every start clears a proxy a crashed run (or anything else) left on.
  SwitchProxyOff();
}

void TunnelBridge::InstallChannel(flutter::BinaryMessenger* messenger) {
  channel_ = std::make_unique<flutter::MethodCallChannel>(
      messenger, kTunnelChannelName, &flutter::StandardMethodCodec::SharedInstance());
  channel_->SetCallHandler(
      [this](const flutter::MethodCall& call, std::unique_ptr<flutter::MethodResult> result) {
        HandleTunnelCall(call, std::move(result));
      });
}

void TunnelBridge::HandleTunnelCall(const flutter::MethodCall& call,
                                    std::unique_ptr<flutter::MethodResult> result) {
  const std::string& method = call.MethodName();
  if (method == "prepare" || method == "requestPermission") {
    const EncodableValue readiness(ReadinessStatus(*ports_.system));
    result->Success(&readiness);
  } else if (method == "status") {
    Status(*result);
  } else if (method == "connect") {
    ConnectSequence(call, *result);
  } else if (method == "disconnect") {
    Disconnect(*result);
  } else {
    result->NotImplemented();
  }
}

void TunnelBridge::Status(flutter::MethodResult& result) {
  if (active && IsCoreAlive(*ports_.processes, coreProcessId)) {
    const EncodableValue report(
        ActiveStatus(*ports_.system, sessionId, "Windows system proxy is active."));
    result.Success(&report);
    return;
  }
  // The watchdog: a core that died takes the system proxy down with it.
  if (active) StopTunnel();
  active = false;
  coreProcessId = 0;
  sessionId.clear();
  const EncodableValue idle(IdleStatus());
  result.Success(&idle);
}

void TunnelBridge::Disconnect(flutter::MethodResult& result) {
  StopTunnel();
  sessionId.clear();
  const EncodableValue idle(IdleStatus());
  result.Success(&idle);
}

void TunnelBridge::Teardown() {
  if (!active && coreProcessId == 0) return;
  StopTunnel();
  sessionId.clear();
}

void TunnelBridge::CoreExited(uint32_t process_id) {
  // A core this bridge already stopped or replaced is none of its business.
  if (!active || process_id != coreProcessId) return;
  if (IsCoreAlive(*ports_.processes, coreProcessId)) return;
  StopTunnel();
  sessionId.clear();
}

void TunnelBridge::SwitchProxyOff() {
  SetSystemProxy(*ports_.proxy_settings, false);
  if (ports_.guard != nullptr) ports_.guard->Release();
}

void TunnelBridge::StopTunnel() {
  SwitchProxyOff();
  if (coreProcessId != 0) TerminateCore(*ports_.processes, coreProcessId);
  active = false;
  coreProcessId = 0;
}

}  // namespace tessarin
