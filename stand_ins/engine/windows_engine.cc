// The stand-in flutter_windows.dll: the engine calls the host makes, a real
// child window as the view, and a scripted user interface that plays a
// scenario against "tessarin/tunnel" and writes what came back.
#include <windows.h>

#include <atomic>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <share.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine_api/flutter_windows.h"
#include "platform/win32_handles.h"
#include "stand_ins/engine/engine_glue.h"
#include "stand_ins/engine/scenario.h"
#include "stand_ins/engine/stand_in_controls.h"
#include "stand_ins/engine/window_controls.h"
#include "stand_ins/win32/utf8_text.h"

namespace {

// A scenario's crash that the process survives: its code, and the engine's
// filter's say, once.
constexpr DWORD kSurvivedCrashCode = 0xE0005355;
std::atomic<bool> g_survive_next_crash{false};
LONG WINAPI ContinueAfterSurvivedCrash(EXCEPTION_POINTERS* exception) {
  if (exception->ExceptionRecord->ExceptionCode == kSurvivedCrashCode &&
      g_survive_next_crash.exchange(false)) {
    return EXCEPTION_CONTINUE_EXECUTION;
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

namespace {

using stand_in::Narrow;
using stand_in::Widen;

constexpr wchar_t kViewClass[] = L"TESSARIN_STAND_IN_VIEW";
constexpr wchar_t kParkingClass[] = L"TESSARIN_STAND_IN_PARKING";
constexpr char kTunnelChannel[] = "tessarin/tunnel";
constexpr UINT kProduceFrame = WM_APP + 1;
constexpr UINT kNextStep = WM_APP + 2;
constexpr UINT_PTR kWaitTimer = 1;

struct Controls {
  int font_reloads = 0;
  int frames = 0;
};

Controls& TheControls() {
  static Controls* controls = new Controls();
  return *controls;
}

// Read at each reply on the window's thread: one open of the key, so that
// the stand-in adds as little as it can to the window's answers it is timed by.
stand_in::ProxyValues ReadProxyValues() {
  constexpr wchar_t kKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
  stand_in::ProxyValues values;
  tessarin::unique_hkey key;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    return values;
  }
  DWORD enable = 0;
  DWORD size = sizeof(enable);
  if (RegGetValueW(key.get(), nullptr, L"ProxyEnable", RRF_RT_REG_DWORD, nullptr, &enable, &size) ==
      ERROR_SUCCESS) {
    values.enable = enable;
  }
  auto text = [&](const wchar_t* name) -> std::optional<std::string> {
    DWORD bytes = 0;
    if (RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(key.get(), nullptr, name, RRF_RT_REG_SZ, nullptr, &value[0], &bytes) !=
        ERROR_SUCCESS) {
      return std::nullopt;
    }
    value.resize(wcslen(value.c_str()));
    return Narrow(value);
  };
  values.server = text(L"ProxyServer");
  values.override_list = text(L"ProxyOverride");
  return values;
}

// Ends every core started from this program's bin directory, as a crash would.
void TerminateCores() {
  wchar_t module[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH * 4);
  std::wstring core(module, length);
  core = core.substr(0, core.find_last_of(L'\\')) + L"\\bin\\sing-box.exe";
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return;
  PROCESSENTRY32W entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    if (_wcsicmp(entry.szExeFile, L"sing-box.exe") != 0) continue;
    HANDLE process =
        OpenProcess(PROCESS_TERMINATE | PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE,
                    entry.th32ProcessID);
    if (process == nullptr) continue;
    wchar_t image[MAX_PATH * 4];
    DWORD image_length = MAX_PATH * 4;
    if (QueryFullProcessImageNameW(process, 0, image, &image_length) &&
        _wcsicmp(image, core.c_str()) == 0) {
      TerminateProcess(process, 1);
      WaitForSingleObject(process, 5000);
    }
    CloseHandle(process);
  }
  CloseHandle(snapshot);
}

// The user interface application's stand-in: plays the scenario one step per
// window message and writes the transcript.
class ScriptedUi {
 public:
  ScriptedUi(const std::wstring& scenario, const std::wstring& transcript)
      : scenario_path_(scenario) {
    if (!transcript.empty()) transcript_ = _wfsopen(transcript.c_str(), L"wb", _SH_DENYWR);
  }
  ~ScriptedUi() {
    // Calls the host never answered: the window closed first.
    for (const Pending& pending : pending_) WriteStep(pending, nullptr);
    Write(stand_in::kClosedLine);
    if (transcript_) fclose(transcript_);
  }
  ScriptedUi(const ScriptedUi&) = delete;
  ScriptedUi& operator=(const ScriptedUi&) = delete;

  void Write(const std::string& line) {
    if (transcript_ == nullptr) return;
    fputs(line.c_str(), transcript_);
    fputc('\n', transcript_);
    fflush(transcript_);
  }

  // Loads the scenario; without one the UI only shows the window.
  bool Load() {
    if (scenario_path_.empty()) return false;
    std::string text;
    if (FILE* file = _wfsopen(scenario_path_.c_str(), L"rb", _SH_DENYNO)) {
      char buffer[4096];
      size_t read = 0;
      while ((read = fread(buffer, 1, sizeof(buffer), file)) > 0) text.append(buffer, read);
      fclose(file);
    } else {
      Fail("cannot read the scenario " + Narrow(scenario_path_));
      return false;
    }
    std::string error;
    if (!stand_in::ParseScenario(text, &steps_, &error)) {
      Fail("bad scenario: " + error);
      return false;
    }
    return true;
  }

  bool failed() const { return failed_; }

  // At each reply, on the thread that sent it: writes the lines of the calls
  // answered so far, with the registry as it is right after the reply; the
  // step that waits for its reply goes on once it has it.
  void CollectReplies(HWND view, FlutterDesktopMessengerRef messenger,
                      stand_in::ShownStatus* shown) {
    for (auto it = pending_.begin(); it != pending_.end();) {
      const stand_in::Delivery delivery = stand_in::DeliveryAt(messenger, it->delivery);
      if (delivery.responses == 0) {
        ++it;
        continue;
      }
      WriteStep(*it, &delivery.bytes);
      stand_in::StatusFromReply(delivery.bytes, shown);
      if (it->waits) PostMessageW(view, kNextStep, 0, 0);
      it = pending_.erase(it);
    }
  }

  // Runs the next step; false when the scenario is over and the window
  // should close.
  bool RunStep(HWND view, FlutterDesktopMessengerRef messenger) {
    if (next_ >= steps_.size()) return false;
    const size_t index = next_++;
    const stand_in::ScenarioStep& step = steps_[index];
    switch (step.kind) {
      case stand_in::ScenarioStep::Kind::kCall:
      case stand_in::ScenarioStep::Kind::kRaw: {
        // Its line is written when the reply comes, inside the handler or
        // later from the host's thread; the message loop runs meanwhile.
        pending_.push_back(Pending{index, stand_in::StepMessage(step),
                                   stand_in::DeliveryCount(messenger), GetTickCount64(),
                                   step.wait_reply});
        const stand_in::Delivery delivery =
            stand_in::Deliver(messenger, kTunnelChannel, pending_.back().sent);
        if (!delivery.delivered) {
          // Nobody listens on the channel: no reply will ever come.
          WriteStep(pending_.back(), nullptr);
          pending_.pop_back();
          PostMessageW(view, kNextStep, 0, 0);
          return true;
        }
        if (!step.wait_reply) PostMessageW(view, kNextStep, 0, 0);
        return true;
      }
      case stand_in::ScenarioStep::Kind::kWait:
        SetTimer(view, kWaitTimer, static_cast<UINT>(step.wait_ms), nullptr);
        return true;
      case stand_in::ScenarioStep::Kind::kBlock:
        // The user interface's thread busy (or hung): no message is read.
        Sleep(static_cast<DWORD>(step.wait_ms));
        PostMessageW(view, kNextStep, 0, 0);
        return true;
      case stand_in::ScenarioStep::Kind::kTerminateCore:
        TerminateCores();
        PostMessageW(view, kNextStep, 0, 0);
        return true;
      case stand_in::ScenarioStep::Kind::kCrash:
        // What a fault in the user interface's code looks like to the host:
        // an access violation on the UI thread that nobody handles; with the
        // heap's lock held, as a fault inside an allocation would.
        if (step.heap_locked) HeapLock(GetProcessHeap());
        if (step.survived) {
          // The engine's own filter, which the host's calls after its
          // own work, goes on after this one: the process lives.
          g_survive_next_crash = true;
          RaiseException(kSurvivedCrashCode, 0, 0, nullptr);
          PostMessageW(view, kNextStep, 0, 0);
          return true;
        }
        RaiseException(EXCEPTION_ACCESS_VIOLATION, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        return false;
      case stand_in::ScenarioStep::Kind::kAbort:
        std::abort();
      case stand_in::ScenarioStep::Kind::kClose:
        return false;
    }
    return false;
  }

 private:
  // A message sent whose reply has not come yet.
  struct Pending {
    size_t index;
    std::vector<uint8_t> sent;
    size_t delivery;  // its number among the messenger's deliveries
    ULONGLONG sent_at;
    bool waits;
  };

  void WriteStep(const Pending& pending, const std::vector<uint8_t>* reply) {
    const int64_t elapsed = static_cast<int64_t>(GetTickCount64() - pending.sent_at);
    Write(stand_in::StepLine(pending.index, steps_[pending.index], pending.sent, reply,
                             ReadProxyValues(), elapsed));
  }

  void Fail(const std::string& why) {
    failed_ = true;
    fprintf(stderr, "stand-in UI: %s\n", why.c_str());
    Write("{\"error\": " + stand_in::Quote(why) + "}");
  }

  std::wstring scenario_path_;
  FILE* transcript_ = nullptr;
  std::vector<stand_in::ScenarioStep> steps_;
  std::vector<Pending> pending_;
  size_t next_ = 0;
  bool failed_ = false;
};

}  // namespace

struct FlutterDesktopEngine {
  FlutterDesktopMessengerRef messenger = nullptr;
  FlutterDesktopNextFrameCallback next_frame = nullptr;
  void* next_frame_data = nullptr;
  std::unique_ptr<ScriptedUi> ui;
  bool scenario_loaded = false;
  HWND view = nullptr;  // once a view controller runs the engine
};

struct FlutterDesktopView {
  HWND window = nullptr;
};

struct FlutterDesktopViewController {
  FlutterDesktopEngine* engine = nullptr;
  FlutterDesktopView view;
  HWND parking = nullptr;
  bool frame_requested = false;
  bool scenario_started = false;
  stand_in::ShownStatus shown;
  HFONT font = nullptr;
};

namespace {

void LoadFont(FlutterDesktopViewController* controller) {
  if (controller->font) DeleteObject(controller->font);
  NONCLIENTMETRICSW metrics = {};
  metrics.cbSize = sizeof(metrics);
  SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0);
  LOGFONTW font = metrics.lfMessageFont;
  font.lfHeight = font.lfHeight * 3 / 2;
  controller->font = CreateFontIndirectW(&font);
}

void Paint(HWND window, FlutterDesktopViewController* controller) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT area;
  GetClientRect(window, &area);
  HBRUSH background = CreateSolidBrush(RGB(0x16, 0x1B, 0x22));
  FillRect(dc, &area, background);
  DeleteObject(background);
  HGDIOBJ old_font = SelectObject(dc, controller->font);
  SetBkMode(dc, TRANSPARENT);
  const stand_in::ShownStatus& shown = controller->shown;
  const bool connected = shown.stage == "connected";
  struct Line {
    std::wstring text;
    COLORREF color;
  };
  const Line lines[] = {
      {L"tessarin", RGB(0xE6, 0xED, 0xF3)},
      {L"Stage: " + Widen(shown.stage), connected                ? RGB(0x3F, 0xB9, 0x50)
                                        : shown.stage == "error" ? RGB(0xF8, 0x51, 0x49)
                                                                 : RGB(0x8B, 0x94, 0x9E)},
      {Widen(shown.message), RGB(0xC9, 0xD1, 0xD9)},
      {shown.session_id.empty() ? L"" : L"Session: " + Widen(shown.session_id),
       RGB(0x8B, 0x94, 0x9E)},
  };
  RECT line = {area.left + 24, area.top + 32, area.right - 24, area.top + 32};
  for (const Line& item : lines) {
    SetTextColor(dc, item.color);
    RECT measure = line;
    DrawTextW(dc, item.text.c_str(), -1, &measure, DT_CALCRECT | DT_WORDBREAK);
    line.bottom = line.top + (measure.bottom - measure.top);
    DrawTextW(dc, item.text.c_str(), -1, &line, DT_WORDBREAK);
    line.top = line.bottom + 16;
  }
  SelectObject(dc, old_font);
  EndPaint(window, &paint);
}

LRESULT CALLBACK ViewProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  auto* controller =
      reinterpret_cast<FlutterDesktopViewController*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    return DefWindowProcW(window, message, wparam, lparam);
  }
  if (controller == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  FlutterDesktopEngine* engine = controller->engine;
  switch (message) {
    case kProduceFrame: {
      // The frame is produced off screen, so it comes while the host window is
      // still hidden; presenting it is the next WM_PAINT's work.
      controller->frame_requested = false;
      ++TheControls().frames;
      InvalidateRect(window, nullptr, FALSE);
      FlutterDesktopNextFrameCallback callback = engine->next_frame;
      engine->next_frame = nullptr;
      if (callback) callback(engine->next_frame_data);
      if (!controller->scenario_started && engine->ui) {
        controller->scenario_started = true;
        if (engine->scenario_loaded)
          PostMessageW(window, kNextStep, 0, 0);
        else if (engine->ui->failed())
          PostMessageW(GetAncestor(window, GA_ROOT), WM_CLOSE, 0, 0);
      }
      return 0;
    }
    case kNextStep:
      if (!engine->ui || !engine->ui->RunStep(window, engine->messenger)) {
        PostMessageW(GetAncestor(window, GA_ROOT), WM_CLOSE, 0, 0);
      }
      InvalidateRect(window, nullptr, FALSE);
      return 0;
    case WM_TIMER:
      if (wparam == kWaitTimer) {
        KillTimer(window, kWaitTimer);
        PostMessageW(window, kNextStep, 0, 0);
      }
      return 0;
    case WM_PAINT:
      Paint(window, controller);
      return 0;
    case WM_ERASEBKGND:
      return 1;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void RegisterClasses() {
  static bool registered = false;
  if (registered) return;
  registered = true;
  WNDCLASSW view = {};
  view.lpfnWndProc = ViewProc;
  view.hInstance = GetModuleHandleW(nullptr);
  view.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  view.lpszClassName = kViewClass;
  RegisterClassW(&view);
  WNDCLASSW parking = {};
  parking.lpfnWndProc = DefWindowProcW;
  parking.hInstance = GetModuleHandleW(nullptr);
  parking.lpszClassName = kParkingClass;
  RegisterClassW(&parking);
}

std::string ArgumentValue(const std::vector<std::string>& arguments, const std::string& name) {
  const std::string prefix = "--" + name + "=";
  for (const std::string& argument : arguments) {
    if (argument.compare(0, prefix.size(), prefix) == 0) return argument.substr(prefix.size());
  }
  return std::string();
}

// As the engine does: a relative path is taken from the executable's
// directory, not the working directory (a shortcut or a shim may start the
// program from anywhere).
std::wstring FromExecutableDirectory(const wchar_t* path) {
  const std::wstring given = path != nullptr ? path : L"";
  const bool absolute = (given.size() >= 2 && given[1] == L':') ||
                        (!given.empty() && (given[0] == L'\\' || given[0] == L'/'));
  if (absolute) return given;
  std::wstring module(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, &module[0], static_cast<DWORD>(module.size()));
    if (length == 0) return given;
    if (length < module.size()) {
      module.resize(length);
      break;
    }
    module.resize(module.size() * 2);
  }
  return module.substr(0, module.find_last_of(L"\\/") + 1) + given;
}

}  // namespace

void stand_in::DestroyEngine(FlutterDesktopEngineRef engine) {
  stand_in::ShutDownMessenger(engine->messenger);
  delete engine;
}

extern "C" {

// For installer tests: TESSARIN_STAND_IN_HOLD_EXIT_MS keeps the library (and
// with it the process) a while after the program's entry function returned,
// as a slow runtime exit or a big engine's unload would.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_DETACH) {
    wchar_t hold[16];
    const DWORD length = GetEnvironmentVariableW(L"TESSARIN_STAND_IN_HOLD_EXIT_MS", hold, 16);
    if (length > 0 && length < 16) Sleep(static_cast<DWORD>(_wtoi(hold)));
  }
  return TRUE;
}

FlutterDesktopEngineRef FlutterDesktopEngineCreate(const EngineStartProperties* properties) {
  // Before the host's, which keeps it as the one before its own.
  static const LPTOP_LEVEL_EXCEPTION_FILTER installed =
      SetUnhandledExceptionFilter(ContinueAfterSurvivedCrash);
  static_cast<void>(installed);
  // As a real engine: no assets, no engine.
  const DWORD attributes =
      GetFileAttributesW(FromExecutableDirectory(properties->assets_path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    return nullptr;
  }
  const std::vector<std::string> arguments = stand_in::EntrypointArguments(*properties);
  auto* engine = new FlutterDesktopEngine();
  engine->messenger = stand_in::CreateMessenger();
  const std::wstring scenario = Widen(ArgumentValue(arguments, "scenario"));
  const std::wstring transcript = Widen(ArgumentValue(arguments, "transcript"));
  if (!scenario.empty() || !transcript.empty()) {
    engine->ui = std::make_unique<ScriptedUi>(scenario, transcript);
    engine->ui->Write(stand_in::EngineLine(Narrow(properties->assets_path),
                                           Narrow(properties->icu_data_path),
                                           Narrow(properties->aot_library_path), arguments));
    engine->scenario_loaded = engine->ui->Load();
  }
  return engine;
}

FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine) {
  return engine->messenger;
}

void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine) {
  ++TheControls().font_reloads;
  if (engine->view == nullptr) return;
  auto* controller = reinterpret_cast<FlutterDesktopViewController*>(
      GetWindowLongPtrW(engine->view, GWLP_USERDATA));
  if (controller != nullptr) LoadFont(controller);
  // New fonts mean a new frame, as with a real engine.
  PostMessageW(engine->view, kProduceFrame, 0, 0);
}

void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine,
                                              FlutterDesktopNextFrameCallback callback,
                                              void* user_data) {
  engine->next_frame = callback;
  engine->next_frame_data = user_data;
}

FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(int width, int height,
                                                                   FlutterDesktopEngineRef engine) {
  // A real engine library takes ownership of this argument and would crash on
  // none; so does the stand-in, loudly, so that a host that does it is caught.
  if (engine == nullptr) {
    std::fputs("flutter_windows: FlutterDesktopViewControllerCreate called without an engine\n",
               stderr);
    std::fflush(stderr);
    std::abort();
  }
  RegisterClasses();
  auto* controller = new FlutterDesktopViewController();
  controller->engine = engine;
  LoadFont(controller);
  // The view is born under a hidden window of ours until the host adopts it.
  controller->parking = CreateWindowExW(0, kParkingClass, L"", WS_POPUP, 0, 0, 0, 0, nullptr,
                                        nullptr, GetModuleHandleW(nullptr), nullptr);
  controller->view.window =
      CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, 0, 0, width,
                      height, controller->parking, nullptr, GetModuleHandleW(nullptr), controller);
  engine->view = controller->view.window;
  if (controller->view.window != nullptr) {
    stand_in::SetResponseListener(
        engine->messenger,
        [](void* data) {
          auto* replied = static_cast<FlutterDesktopViewController*>(data);
          FlutterDesktopEngine* owner = replied->engine;
          if (owner->ui)
            owner->ui->CollectReplies(replied->view.window, owner->messenger, &replied->shown);
          InvalidateRect(replied->view.window, nullptr, FALSE);
        },
        controller);
  }
  if (controller->view.window == nullptr) {
    if (controller->parking) DestroyWindow(controller->parking);
    DeleteObject(controller->font);
    delete controller;
    return nullptr;
  }
  return controller;
}

void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller) {
  if (IsWindow(controller->view.window)) DestroyWindow(controller->view.window);
  if (controller->parking) DestroyWindow(controller->parking);
  if (controller->font) DeleteObject(controller->font);
  stand_in::DestroyEngine(controller->engine);
  delete controller;
}

FlutterDesktopViewRef FlutterDesktopViewControllerGetView(
    FlutterDesktopViewControllerRef controller) {
  return &controller->view;
}

void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef controller) {
  if (controller->frame_requested) return;
  controller->frame_requested = true;
  PostMessageW(controller->view.window, kProduceFrame, 0, 0);
}

HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view) { return view->window; }

UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor) {
  using GetDpiForMonitorFn = HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*);
  UINT dpi = 0;
  if (HMODULE shcore = LoadLibraryW(L"shcore.dll")) {
    auto get = reinterpret_cast<GetDpiForMonitorFn>(
        reinterpret_cast<void*>(GetProcAddress(shcore, "GetDpiForMonitor")));
    UINT y = 0;
    if (get == nullptr || FAILED(get(monitor, 0 /* effective DPI */, &dpi, &y))) dpi = 0;
    FreeLibrary(shcore);
  }
  if (dpi == 0) {
    HDC screen = GetDC(nullptr);
    dpi = static_cast<UINT>(GetDeviceCaps(screen, LOGPIXELSX));
    ReleaseDC(nullptr, screen);
  }
  return dpi;
}

void StandInConsumeTopLevelMessage(UINT message, LRESULT result) {
  stand_in::ConsumedMessages()[message] = result;
}
void StandInResetConsumedMessages(void) { stand_in::ConsumedMessages().clear(); }
int StandInFontReloadCount(void) { return TheControls().font_reloads; }
int StandInFramesProduced(void) { return TheControls().frames; }

}  // extern "C"
