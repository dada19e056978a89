// The engine's view: the native child window the host embeds.
#ifndef TESSARIN_SHELL_FLUTTER_VIEW_H_
#define TESSARIN_SHELL_FLUTTER_VIEW_H_

#include "engine_api/flutter_windows.h"

namespace flutter {

class FlutterView {
 public:
  // |view| is not owned: it goes with its view controller.
  explicit FlutterView(FlutterDesktopViewRef view) : view_(view) {}
  virtual ~FlutterView() = default;
  FlutterView(const FlutterView&) = delete;
  FlutterView& operator=(const FlutterView&) = delete;

  HWND GetHWND() const { return FlutterDesktopViewGetHWND(view_); }

 private:
  FlutterDesktopViewRef view_;
};

}  // namespace flutter

#endif  // TESSARIN_SHELL_FLUTTER_VIEW_H_
