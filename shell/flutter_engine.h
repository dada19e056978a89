// Owns the platform engine until a view controller takes it over, and the
// process's one messenger for as long as the wrapper lives.
#ifndef TESSARIN_SHELL_FLUTTER_ENGINE_H_
#define TESSARIN_SHELL_FLUTTER_ENGINE_H_

#include <functional>
#include <memory>
#include <string>

#include "channel/binary_messenger.h"
#include "engine_api/flutter_windows.h"
#include "shell/engine_project.h"

namespace flutter {

class PluginRegistry {
 public:
  virtual ~PluginRegistry() = default;
  virtual FlutterDesktopPluginRegistrarRef RegistrarForPlugin(const std::string& pluginName) = 0;
};

class FlutterEngine : public PluginRegistry {
 public:
  explicit FlutterEngine(const EngineProject& project);
  ~FlutterEngine() override;
  FlutterEngine(const FlutterEngine&) = delete;
  FlutterEngine& operator=(const FlutterEngine&) = delete;

  FlutterDesktopPluginRegistrarRef RegistrarForPlugin(const std::string& pluginName) override;
  BinaryMessenger* Messenger() const { return messenger_.get(); }
  void ReloadSystemFonts();
  // Runs |callback| once, after the engine's next frame; a later call before
  // that frame replaces it.
  void SetNextFrameCallback(std::function<void()> callback);
  // The view controller takes the engine over; the wrapper keeps the handle
  // so its messenger and calls go on working.
  FlutterDesktopEngineRef HandOverEngine();

 private:
  static void NextFrameTrampoline(void* userData) noexcept;

  FlutterDesktopEngineRef engine_ = nullptr;
  std::unique_ptr<BinaryMessenger> messenger_;
  bool ownsEngine_ = true;
  std::function<void()> nextFrameCallback_;
};

}  // namespace flutter

#endif  // TESSARIN_SHELL_FLUTTER_ENGINE_H_
