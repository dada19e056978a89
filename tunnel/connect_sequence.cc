// "connect": from the selected node to a running, proven tunnel with the
// system proxy pointed at it, or an error that leaves nothing half-started.
#include "channel/standard_method_codec.h"
#include "tunnel/connectivity_probe.h"
#include "tunnel/core_config.h"
#include "tunnel/core_process.h"
#include "tunnel/status_reports.h"
#include "tunnel/system_proxy.h"
#include "tunnel/tunnel_bridge.h"

namespace tessarin {

using flutter::EncodableValue;
using flutter::EncodableValueMap;

namespace {
constexpr uint32_t kCoreStartCheckMs = 800;
}

void TunnelBridge::ConnectSequence(const flutter::MethodCall& call, flutter::MethodResult& result) {
  // 1. The request must be a map.
  const EncodableValueMap* request =
      call.Arguments() ? call.Arguments()->TryGet<EncodableValueMap>() : nullptr;
  if (request == nullptr) {
    result.Error("INVALID_ARGUMENT", "Missing tunnel request.", nullptr);
    return;
  }
  // 2. The core must be there.
  const std::wstring executable = CoreExecutablePath(appDirectory);
  if (!CoreExecutableExists(*ports_.system, executable)) {
    const EncodableValue details(MissingCoreDetails(call));
    result.Error("UNAVAILABLE", "Windows sing-box proxy core is missing.", &details);
    return;
  }
  // 3. The node must be usable. Up to here a running tunnel is untouched.
  const std::string config = BuildCoreConfig(*request);
  if (config.empty()) {
    result.Error("INVALID_ARGUMENT", "Selected node is missing connection config.", nullptr);
    return;
  }
  // 4. Stop the running tunnel before its file and port are reused.
  if (active) StopTunnel();
  // 5. Write the configuration.
  if (!ports_.system->WriteWholeFile(configPath, config)) {
    result.Error("IO_ERROR", "Failed to write sing-box config.", nullptr);
    return;
  }
  // 6-7. Start the core.
  const uint32_t process_id = LaunchCore(*ports_.processes, executable, configPath, appDirectory);
  if (process_id == 0) {
    result.Error("START_FAILED", "Failed to start sing-box.", nullptr);
    return;
  }
  coreProcessId = process_id;
  // 8-9. A core that rejects its document exits at once.
  ports_.system->Sleep(kCoreStartCheckMs);
  if (!IsCoreAlive(*ports_.processes, coreProcessId)) {
    coreProcessId = 0;
    result.Error("START_FAILED", "sing-box exited immediately.", nullptr);
    return;
  }
  // 10. Prove the node carries traffic before touching the system proxy.
  if (!ProbeConnectivity(*ports_.internet, *ports_.system)) {
    TerminateCore(*ports_.processes, coreProcessId);
    coreProcessId = 0;
    result.Error("PROXY_TEST_FAILED",
                 "Proxy node connectivity check failed. Please switch nodes and retry.", nullptr);
    return;
  }
  // 11. Point the system proxy at the core, guarded before it is on.
  if (ports_.guard != nullptr) ports_.guard->Arm();
  if (!SetSystemProxy(*ports_.proxy_settings, true)) {
    if (ports_.guard != nullptr) ports_.guard->Release();
    TerminateCore(*ports_.processes, coreProcessId);
    coreProcessId = 0;
    result.Error("PROXY_FAILED", "Failed to enable Windows proxy.", nullptr);
    return;
  }
  // 12. Commit.
  sessionId = "windows-singbox-" + UtcTimestamp(*ports_.system);
  active = true;
  // 13-14. Answer.
  const std::string mode = LowerCaseAscii(LookupStringValue(*request, "proxyMode"));
  const char* message =
      mode == "global"
          ? "Windows global mode requested sing-box TUN; verify routing with a network test."
          : "Windows system proxy is active through sing-box.";
  const EncodableValue connected(ConnectedStatus(*ports_.system, *request, sessionId, message));
  result.Success(&connected);
}

}  // namespace tessarin
