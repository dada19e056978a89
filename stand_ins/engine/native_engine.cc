// The engine and view half of the stand-in engine, for native tests: records
// what the wrappers pass and lets a test play the engine's part.
#include <map>

#include "engine_api/flutter_windows.h"
#include "stand_ins/engine/engine_glue.h"
#include "stand_ins/engine/stand_in_controls.h"

struct FlutterDesktopEngine {
  FlutterDesktopMessengerRef messenger = nullptr;
};
struct FlutterDesktopView {
  int unused = 0;
};
struct FlutterDesktopViewController {
  FlutterDesktopEngine* engine = nullptr;
  FlutterDesktopView view;
};
namespace {

struct EngineState {
  stand_in::EngineStart start;
  stand_in::EngineCounts counts;
  bool engine_create_fails = false;
  bool controller_create_fails = false;
  FlutterDesktopNextFrameCallback next_frame = nullptr;
  void* next_frame_data = nullptr;
  FlutterDesktopMessengerRef last_messenger = nullptr;
};

EngineState& State() {
  static EngineState* state = new EngineState();
  return *state;
}

}  // namespace

void stand_in::DestroyEngine(FlutterDesktopEngineRef engine) {
  ++State().counts.engine_destroys;
  stand_in::ShutDownMessenger(engine->messenger);
  delete engine;
}

extern "C" {

FlutterDesktopEngineRef FlutterDesktopEngineCreate(const EngineStartProperties* properties) {
  EngineState& state = State();
  ++state.counts.engine_creates;
  stand_in::EngineStart& start = state.start;
  start = stand_in::EngineStart();
  start.assets = properties->assets_path;
  start.icu = properties->icu_data_path;
  start.aot = properties->aot_library_path;
  start.entrypoint_null = properties->entrypoint == nullptr;
  if (properties->entrypoint) start.entrypoint = properties->entrypoint;
  start.argc = properties->entrypoint_argc;
  start.argv_null = properties->entrypoint_argv == nullptr;
  start.arguments = stand_in::EntrypointArguments(*properties);
  start.option1 = properties->option1;
  start.option2 = properties->option2;
  if (state.engine_create_fails) return nullptr;
  auto* engine = new FlutterDesktopEngine();
  engine->messenger = stand_in::CreateMessenger();
  state.last_messenger = engine->messenger;
  return engine;
}

FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine) {
  return engine->messenger;
}

void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef) {
  ++State().counts.font_reloads;
}

void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef,
                                              FlutterDesktopNextFrameCallback callback,
                                              void* user_data) {
  EngineState& state = State();
  ++state.counts.next_frame_registrations;
  state.next_frame = callback;
  state.next_frame_data = user_data;
}

FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(int, int,
                                                                   FlutterDesktopEngineRef engine) {
  EngineState& state = State();
  ++state.counts.controller_creates;
  if (state.controller_create_fails || engine == nullptr) return nullptr;
  auto* controller = new FlutterDesktopViewController();
  controller->engine = engine;
  return controller;
}

void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller) {
  ++State().counts.controller_destroys;
  stand_in::DestroyEngine(controller->engine);
  delete controller;
}

FlutterDesktopViewRef FlutterDesktopViewControllerGetView(
    FlutterDesktopViewControllerRef controller) {
  return &controller->view;
}

void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef) {
  ++State().counts.redraws;
}

HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view) { return reinterpret_cast<HWND>(view); }

UINT FlutterDesktopGetDpiForMonitor(HMONITOR) { return 96; }

}  // extern "C"

namespace stand_in {

void ResetEngine() {
  EngineState& state = State();
  state.start = EngineStart();
  state.counts = EngineCounts();
  state.engine_create_fails = false;
  state.controller_create_fails = false;
  state.next_frame = nullptr;
  state.next_frame_data = nullptr;
  ConsumedMessages().clear();
  state.last_messenger = nullptr;
}

EngineStart LastEngineStart() { return State().start; }
EngineCounts Counts() { return State().counts; }
void SetEngineCreateFails(bool fails) { State().engine_create_fails = fails; }
void SetViewControllerCreateFails(bool fails) { State().controller_create_fails = fails; }

void ProduceFrame() {
  EngineState& state = State();
  FlutterDesktopNextFrameCallback callback = state.next_frame;
  state.next_frame = nullptr;
  if (callback) callback(state.next_frame_data);
}

void ConsumeTopLevelMessage(UINT message, LRESULT result) { ConsumedMessages()[message] = result; }
FlutterDesktopMessengerRef LastMessenger() { return State().last_messenger; }

}  // namespace stand_in
