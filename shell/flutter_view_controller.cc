#include "shell/flutter_view_controller.h"

#include "channel/diagnostics.h"

namespace flutter {

FlutterViewController::FlutterViewController(int32_t width, int32_t height,
                                             const EngineProject& project)
    : engine_(std::make_shared<FlutterEngine>(project)) {
  // The engine library takes ownership of what it is handed and cannot be
  // handed none: without an engine there is no controller to ask for.
  FlutterDesktopEngineRef engine = engine_->HandOverEngine();
  if (engine != nullptr) controller_ = FlutterDesktopViewControllerCreate(width, height, engine);
  if (controller_ == nullptr) {
    LogLine("Failed to create view controller.");
    return;
  }
  view_ = std::make_unique<FlutterView>(FlutterDesktopViewControllerGetView(controller_));
}

FlutterViewController::~FlutterViewController() {
  // The platform engine ends here, before the wrapper frees the messenger's
  // handler table that it might still call into.
  if (controller_ != nullptr) FlutterDesktopViewControllerDestroy(controller_);
  view_.reset();
  engine_.reset();
}

void FlutterViewController::ForceRedraw() { FlutterDesktopViewControllerForceRedraw(controller_); }

std::optional<LRESULT> FlutterViewController::HandleTopLevelWindowProc(HWND window, UINT message,
                                                                       WPARAM wparam,
                                                                       LPARAM lparam) {
  LRESULT result = 0;
  if (FlutterDesktopViewControllerHandleTopLevelWindowProc(controller_, window, message, wparam,
                                                           lparam, &result)) {
    return result;
  }
  return std::nullopt;
}

}  // namespace flutter
