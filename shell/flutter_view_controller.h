// Creates the engine and its view together and ends them together.
#ifndef TESSARIN_SHELL_FLUTTER_VIEW_CONTROLLER_H_
#define TESSARIN_SHELL_FLUTTER_VIEW_CONTROLLER_H_

#include <cstdint>
#include <memory>
#include <optional>

#include "engine_api/flutter_windows.h"
#include "shell/engine_project.h"
#include "shell/flutter_engine.h"
#include "shell/flutter_view.h"

namespace flutter {

class FlutterViewController {
 public:
  // On failure the controller exists without a view; callers check View().
  FlutterViewController(int32_t width, int32_t height, const EngineProject& project);
  virtual ~FlutterViewController();
  FlutterViewController(const FlutterViewController&) = delete;
  FlutterViewController& operator=(const FlutterViewController&) = delete;

  FlutterEngine* Engine() const { return engine_.get(); }
  FlutterView* View() const { return view_.get(); }
  void ForceRedraw();
  // A result when the engine consumed the message.
  std::optional<LRESULT> HandleTopLevelWindowProc(HWND window, UINT message, WPARAM wparam,
                                                  LPARAM lparam);

 private:
  FlutterDesktopViewControllerRef controller_ = nullptr;
  std::shared_ptr<FlutterEngine> engine_;
  std::unique_ptr<FlutterView> view_;
};

}  // namespace flutter

#endif  // TESSARIN_SHELL_FLUTTER_VIEW_CONTROLLER_H_
