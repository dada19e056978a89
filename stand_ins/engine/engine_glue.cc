#include "stand_ins/engine/engine_glue.h"

struct FlutterDesktopPluginRegistrar {
  int unused = 0;
};

namespace stand_in {

std::vector<std::string> EntrypointArguments(const EngineStartProperties& properties) {
  std::vector<std::string> arguments;
  for (int32_t i = 0; properties.entrypoint_argv && i < properties.entrypoint_argc; ++i) {
    arguments.emplace_back(properties.entrypoint_argv[i]);
  }
  return arguments;
}

std::map<UINT, LRESULT>& ConsumedMessages() {
  static auto* consumed = new std::map<UINT, LRESULT>();
  return *consumed;
}

}  // namespace stand_in

extern "C" {

bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine) {
  stand_in::DestroyEngine(engine);
  return true;
}

FlutterDesktopPluginRegistrarRef FlutterDesktopEngineGetPluginRegistrar(FlutterDesktopEngineRef,
                                                                        const char*) {
  static FlutterDesktopPluginRegistrar registrar;
  return &registrar;
}

bool FlutterDesktopViewControllerHandleTopLevelWindowProc(FlutterDesktopViewControllerRef, HWND,
                                                          UINT message, WPARAM, LPARAM,
                                                          LRESULT* result) {
  const auto found = stand_in::ConsumedMessages().find(message);
  if (found == stand_in::ConsumedMessages().end()) return false;
  *result = found->second;
  return true;
}

// The stand-in writes through the same C runtime as the host, so the streams
// the host re-opened are already the ones it uses.
void FlutterDesktopResyncOutputStreams(void) {}

}  // extern "C"
