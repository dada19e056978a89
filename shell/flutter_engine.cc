#include "shell/flutter_engine.h"

#include <utility>
#include <vector>

#include "channel/binary_messenger_impl.h"
#include "channel/diagnostics.h"

namespace flutter {

FlutterEngine::FlutterEngine(const EngineProject& project) {
  // Pointers into |project| live only for the create call, which is enough.
  std::vector<const char*> arguments;
  arguments.reserve(project.entrypointArguments.size());
  for (const std::string& argument : project.entrypointArguments) {
    arguments.push_back(argument.c_str());
  }
  EngineStartProperties properties = {};
  properties.assets_path = project.assetsPath.c_str();
  properties.icu_data_path = project.icuDataPath.c_str();
  properties.aot_library_path = project.aotLibraryPath.c_str();
  properties.entrypoint = project.entrypoint.c_str();
  properties.entrypoint_argc = static_cast<int32_t>(arguments.size());
  properties.entrypoint_argv = arguments.empty() ? nullptr : arguments.data();
  properties.option1 = project.option1;
  properties.option2 = project.option2;
  engine_ = FlutterDesktopEngineCreate(&properties);
  // Without an engine there is no messenger to ask for; the wrapper still
  // offers one, over no platform messenger, whose sends go nowhere.
  FlutterDesktopMessengerRef messenger =
      engine_ != nullptr ? FlutterDesktopEngineGetMessenger(engine_) : nullptr;
  messenger_ = std::make_unique<BinaryMessengerImpl>(messenger);
}

FlutterEngine::~FlutterEngine() {
  if (engine_ != nullptr && ownsEngine_) FlutterDesktopEngineDestroy(engine_);
  engine_ = nullptr;
  nextFrameCallback_ = nullptr;
  messenger_.reset();
}

FlutterDesktopPluginRegistrarRef FlutterEngine::RegistrarForPlugin(const std::string& pluginName) {
  if (engine_ == nullptr) {
    LogLine("Cannot get plugin registrar on an engine that isn't running; call Run first.");
    return nullptr;
  }
  return FlutterDesktopEngineGetPluginRegistrar(engine_, pluginName.c_str());
}

void FlutterEngine::ReloadSystemFonts() { FlutterDesktopEngineReloadSystemFonts(engine_); }

void FlutterEngine::SetNextFrameCallback(std::function<void()> callback) {
  nextFrameCallback_ = std::move(callback);
  FlutterDesktopEngineSetNextFrameCallback(engine_, &FlutterEngine::NextFrameTrampoline, this);
}

void FlutterEngine::NextFrameTrampoline(void* userData) noexcept {
  auto* self = static_cast<FlutterEngine*>(userData);
  // Cleared before running, so each registration runs at most once even if
  // the callable registers another.
  std::function<void()> callback = std::move(self->nextFrameCallback_);
  self->nextFrameCallback_ = nullptr;
  // Called by the engine, a C frame: nothing may escape.
  RunAtBoundary("Exception in the next-frame callback: ", [&] {
    if (callback) callback();
  });
}

FlutterDesktopEngineRef FlutterEngine::HandOverEngine() {
  ownsEngine_ = false;
  return engine_;
}

}  // namespace flutter
