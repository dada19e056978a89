// The windows on the real user32 under Wine: creation, visibility, theme,
// DPI, messages, teardown, the command line and the executable's resources.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32_handles.h"
#include "shell/command_line_arguments.h"
#include "shell/engine_project.h"
#include "shell/flutter_window.h"
#include "shell/win32_window.h"
#include "stand_ins/engine/window_controls.h"
#include "tunnel/local_proxy_endpoint.h"

namespace {

using tessarin::unique_handle;

constexpr wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
constexpr wchar_t kThemeKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr wchar_t kDesktopKey[] = L"Control Panel\\Desktop";

std::optional<DWORD> ReadDword(const wchar_t* key, const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_CURRENT_USER, key, name, RRF_RT_REG_DWORD, nullptr, &value, &size) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  return value;
}

void WriteDword(const wchar_t* key, const wchar_t* name, std::optional<DWORD> value) {
  if (value) {
    RegSetKeyValueW(HKEY_CURRENT_USER, key, name, REG_DWORD, &*value, sizeof(DWORD));
  } else {
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key, name);
  }
}

// Dispatches window messages until |done| or the time is up.
bool PumpUntil(const std::function<bool()>& done, int timeout_ms = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// Runs |command_line| and returns its standard output.
std::string RunAndRead(std::wstring command_line) {
  SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
  unique_handle read_end;
  unique_handle write_end;
  if (!CreatePipe(read_end.put(), write_end.put(), &inherit, 0)) return "pipe failed";
  SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = write_end.get();
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info = {};
  if (!CreateProcessW(nullptr, &command_line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &info)) {
    return "start failed";
  }
  unique_handle process(info.hProcess);
  unique_handle thread(info.hThread);
  write_end.reset();
  std::string out;
  char buffer[512];
  DWORD read = 0;
  while (ReadFile(read_end.get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    out.append(buffer, read);
  }
  WaitForSingleObject(process.get(), 30000);
  out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
  return out;
}

std::wstring ThisDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring directory(path, length);
  return directory.substr(0, directory.find_last_of(L'\\'));
}

// A data directory the stand-in engine accepts.
class DataDirectory {
 public:
  DataDirectory() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::wstring(temp) + L"tessarin-shell-test-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path_.c_str(), nullptr);
    CreateDirectoryW((path_ + L"\\data").c_str(), nullptr);
    CreateDirectoryW((path_ + L"\\data\\flutter_assets").c_str(), nullptr);
  }
  ~DataDirectory() {
    RemoveDirectoryW((path_ + L"\\data\\flutter_assets").c_str());
    RemoveDirectoryW((path_ + L"\\data").c_str());
    RemoveDirectoryW(path_.c_str());
  }
  EngineProject Project() const { return EngineProject(path_ + L"\\data"); }

 private:
  std::wstring path_;
};

// Records the title-bar choice instead of asking the compositor.
struct AttributeCall {
  DWORD attribute;
  BOOL value;
};
std::vector<AttributeCall> attribute_calls;
HRESULT WINAPI RecordAttribute(HWND, DWORD attribute, LPCVOID value, DWORD size) {
  if (size == sizeof(BOOL))
    attribute_calls.push_back({attribute, *static_cast<const BOOL*>(value)});
  return S_OK;
}

class ShellWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_theme_ = ReadDword(kThemeKey, L"AppsUseLightTheme");
    saved_setter_ = Win32Window::SetWindowAttribute();
    StandInResetConsumedMessages();
  }
  void TearDown() override {
    WriteDword(kThemeKey, L"AppsUseLightTheme", saved_theme_);
    Win32Window::SetWindowAttribute() = saved_setter_;
    StandInResetConsumedMessages();
  }

  DataDirectory data_;
  std::optional<DWORD> saved_theme_;
  Win32Window::WindowAttributeSetter saved_setter_ = nullptr;
};

TEST_F(ShellWindowTest, HiddenUntilTheFirstFrameThenShownOnce) {
  FlutterWindow window(data_.Project());
  ASSERT_TRUE(window.Create(L"tessarin", WindowPoint{10, 10}, WindowSize{430, 860}));
  HWND handle = window.NativeHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_FALSE(IsWindowVisible(handle));
  ASSERT_TRUE(PumpUntil([&] { return IsWindowVisible(handle) != FALSE; }));

  // Another frame (fonts reloaded) must not show a hidden window again.
  ShowWindow(handle, SW_HIDE);
  const int frames = StandInFramesProduced();
  SendMessageW(handle, WM_FONTCHANGE, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return StandInFramesProduced() > frames; }));
  PumpUntil([] { return false; }, 100);
  EXPECT_FALSE(IsWindowVisible(handle));
}

TEST_F(ShellWindowTest, TitleBarFollowsTheAppTheme) {
  Win32Window::SetWindowAttribute() = &RecordAttribute;
  const std::optional<DWORD> settings[] = {0, 1, std::nullopt};
  for (const std::optional<DWORD>& light : settings) {
    WriteDword(kThemeKey, L"AppsUseLightTheme", light);
    attribute_calls.clear();
    Win32Window window;
    ASSERT_TRUE(window.Create(L"theme", WindowPoint{10, 10}, WindowSize{200, 200}));
    if (!light) {
      EXPECT_TRUE(attribute_calls.empty()) << "no value, no call";
      continue;
    }
    ASSERT_EQ(attribute_calls.size(), 1u);
    EXPECT_EQ(attribute_calls[0].attribute, 20u);
    EXPECT_EQ(attribute_calls[0].value, *light == 0 ? TRUE : FALSE);

    // A colour change makes it look again.
    WriteDword(kThemeKey, L"AppsUseLightTheme", *light == 0 ? 1 : 0);
    SendMessageW(window.NativeHandle(), WM_DWMCOLORIZATIONCOLORCHANGED, 0, 0);
    ASSERT_EQ(attribute_calls.size(), 2u);
    EXPECT_EQ(attribute_calls[1].value, *light == 0 ? FALSE : TRUE);

    // So does the apps' theme setting changing; other settings do not.
    WriteDword(kThemeKey, L"AppsUseLightTheme", light);
    SendMessageW(window.NativeHandle(), WM_SETTINGCHANGE, 0, reinterpret_cast<LPARAM>(L"intl"));
    SendMessageW(window.NativeHandle(), WM_SETTINGCHANGE, 0, 0);
    EXPECT_EQ(attribute_calls.size(), 2u);
    SendMessageW(window.NativeHandle(), WM_SETTINGCHANGE, 0,
                 reinterpret_cast<LPARAM>(L"ImmersiveColorSet"));
    ASSERT_EQ(attribute_calls.size(), 3u);
    EXPECT_EQ(attribute_calls[2].value, *light == 0 ? TRUE : FALSE);
  }
}

TEST_F(ShellWindowTest, DpiChangeMovesToTheSuggestedRectangle) {
  Win32Window window;
  ASSERT_TRUE(window.Create(L"dpi", WindowPoint{10, 10}, WindowSize{430, 860}));
  RECT suggested = {100, 50, 800, 950};
  EXPECT_EQ(SendMessageW(window.NativeHandle(), WM_DPICHANGED, MAKEWPARAM(120, 120),
                         reinterpret_cast<LPARAM>(&suggested)),
            0);
  RECT frame = {};
  GetWindowRect(window.NativeHandle(), &frame);
  EXPECT_EQ(frame.left, 100);
  EXPECT_EQ(frame.top, 50);
  EXPECT_EQ(frame.right - frame.left, 700);
  EXPECT_EQ(frame.bottom - frame.top, 900);
}

TEST_F(ShellWindowTest, EngineSeesMessagesFirst) {
  FlutterWindow window(data_.Project());
  ASSERT_TRUE(window.Create(L"tessarin", WindowPoint{10, 10}, WindowSize{430, 860}));
  HWND handle = window.NativeHandle();
  HWND child = GetWindow(handle, GW_CHILD);
  ASSERT_NE(child, nullptr);

  const int reloads = StandInFontReloadCount();
  EXPECT_EQ(SendMessageW(handle, WM_FONTCHANGE, 0, 0), 0);
  EXPECT_EQ(StandInFontReloadCount(), reloads + 1);

  // Consumed by the engine: the base handler never lays out the child.
  StandInConsumeTopLevelMessage(WM_SIZE, 7);
  SetWindowPos(handle, nullptr, 0, 0, 300, 400, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  RECT area = {};
  RECT child_area = {};
  GetClientRect(handle, &area);
  GetClientRect(child, &child_area);
  EXPECT_NE(child_area.right, area.right);
  EXPECT_EQ(SendMessageW(handle, WM_SIZE, 0, 0), 7);
  // A consumed font change does not reach the font reload either.
  StandInConsumeTopLevelMessage(WM_FONTCHANGE, 0);
  SendMessageW(handle, WM_FONTCHANGE, 0, 0);
  EXPECT_EQ(StandInFontReloadCount(), reloads + 1);

  StandInResetConsumedMessages();
  EXPECT_EQ(SendMessageW(handle, WM_SIZE, 0, 0), 0);
  GetClientRect(child, &child_area);
  EXPECT_EQ(child_area.right, area.right);
  EXPECT_EQ(child_area.bottom, area.bottom);
}

TEST_F(ShellWindowTest, WithoutEngineFilesCreationFailsAndTheProxyIsOff) {
  // Ours, as a run that crashed leaves it (whatever an earlier test left).
  const std::optional<DWORD> saved = ReadDword(kInternetSettings, L"ProxyEnable");
  const std::wstring ours = tessarin::LocalProxyEndpoint::kSystemProxyServer;
  RegSetKeyValueW(HKEY_CURRENT_USER, kInternetSettings, L"ProxyServer", REG_SZ, ours.c_str(),
                  static_cast<DWORD>((ours.size() + 1) * sizeof(wchar_t)));
  WriteDword(kInternetSettings, L"ProxyEnable", 1);
  FlutterWindow window(EngineProject(L"Z:\\nowhere\\data"));
  testing::internal::CaptureStderr();
  EXPECT_FALSE(window.Create(L"tessarin", WindowPoint{10, 10}, WindowSize{430, 860}));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to create view controller.\n");
  EXPECT_EQ(ReadDword(kInternetSettings, L"ProxyEnable"), std::optional<DWORD>(0));
  EXPECT_FALSE(window.Bridge().configPath.empty());
  WriteDword(kInternetSettings, L"ProxyEnable", saved);
}

TEST_F(ShellWindowTest, ClosingEndsTheLoopAndLeavesNoWindow) {
  const int live = Win32Window::LiveWindowCount();
  {
    FlutterWindow window(data_.Project());
    EXPECT_EQ(Win32Window::LiveWindowCount(), live + 1);
    ASSERT_TRUE(window.Create(L"tessarin", WindowPoint{10, 10}, WindowSize{430, 860}));
    window.SetQuitWhenClosed(true);
    HWND handle = window.NativeHandle();
    HWND child = GetWindow(handle, GW_CHILD);
    PostMessageW(handle, WM_CLOSE, 0, 0);
    bool quit = false;
    MSG message;
    while (!quit && GetMessageW(&message, nullptr, 0, 0) > 0) DispatchMessageW(&message);
    quit = message.message == WM_QUIT;
    EXPECT_TRUE(quit || !IsWindow(handle));
    EXPECT_EQ(window.NativeHandle(), nullptr);
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_FALSE(IsWindow(child)) << "the view goes with the engine";
  }
  EXPECT_EQ(Win32Window::LiveWindowCount(), live);
  // The class was unregistered with the last window and registers again.
  Win32Window again;
  EXPECT_TRUE(again.Create(L"again", WindowPoint{10, 10}, WindowSize{100, 100}));
}

// A handler that throws: reported, and Windows' default handling still runs.
class ThrowingWindow : public Win32Window {
 protected:
  LRESULT HandleWindowMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override {
    if (message == WM_SETTEXT) throw std::runtime_error("title");
    return Win32Window::HandleWindowMessage(window, message, wparam, lparam);
  }
};

TEST(WindowProcedureTest, AnExceptionIsLoggedAndTheMessageGetsTheDefaultHandling) {
  ThrowingWindow window;
  ASSERT_TRUE(window.Create(L"before", WindowPoint{10, 10}, WindowSize{100, 100}));
  testing::internal::CaptureStderr();
  SetWindowTextW(window.NativeHandle(), L"after");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "Exception in a window procedure: title\n");
  wchar_t title[16] = {};
  GetWindowTextW(window.NativeHandle(), title, 16);
  EXPECT_STREQ(title, L"after");
}

TEST(CommandLineTest, ArgumentsAreUtf8AndInvalidTextBecomesEmpty) {
  EXPECT_EQ(WideToUtf8(nullptr), "");
  EXPECT_EQ(WideToUtf8(L""), "");
  EXPECT_EQ(WideToUtf8(L"\x00e9\xD83D\xDE00"), "\xC3\xA9\xF0\x9F\x98\x80");
  const wchar_t lone[] = {L'a', 0xD800, L'b', 0};
  EXPECT_EQ(WideToUtf8(lone), "");

  const std::wstring echo = L"\"" + ThisDirectory() + L"\\argument_echo.exe\"";
  EXPECT_EQ(RunAndRead(echo), "");
  EXPECT_EQ(RunAndRead(echo + L" --mode \"a b\""), "[2d2d6d6f6465]\n[612062]\n");
  const std::wstring surrogate = echo + L" x " + std::wstring(1, wchar_t(0xDC00)) + L"y \x00e9";
  EXPECT_EQ(RunAndRead(surrogate), "[78]\n[]\n[c3a9]\n");
}

TEST(WindowPlacementTest, ScaledByTheMonitorDpi) {
  const std::optional<DWORD> saved = ReadDword(kDesktopKey, L"LogPixels");
  const std::wstring probe = L"\"" + ThisDirectory() + L"\\window_probe.exe\"";
  struct Case {
    DWORD dpi;
    const char* expected;
  };
  for (const Case& c : {Case{96, "96 10 10 430 860\n"}, Case{120, "120 12 12 537 1075\n"},
                        Case{144, "144 15 15 645 1290\n"}}) {
    WriteDword(kDesktopKey, L"LogPixels", c.dpi);
    EXPECT_EQ(RunAndRead(probe), c.expected) << c.dpi;
  }
  WriteDword(kDesktopKey, L"LogPixels", saved);
}

// The resources travel inside tessarin.exe, read as Windows would.
class ResourcesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = ThisDirectory() + L"\\..\\tessarin.exe";
    module_ = LoadLibraryExW(path_.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
    ASSERT_NE(module_, nullptr);
  }
  void TearDown() override {
    if (module_) FreeLibrary(module_);
  }
  std::string Resource(LPCWSTR type, LPCWSTR name) {
    HRSRC found = FindResourceW(module_, name, type);
    if (found == nullptr) return std::string();
    HGLOBAL loaded = LoadResource(module_, found);
    const char* bytes = static_cast<const char*>(LockResource(loaded));
    return std::string(bytes, SizeofResource(module_, found));
  }
  std::wstring path_;
  HMODULE module_ = nullptr;
};

TEST_F(ResourcesTest, IconGroupHoldsTenSizes) {
  const std::string group = Resource(RT_GROUP_ICON, MAKEINTRESOURCEW(101));
  ASSERT_GE(group.size(), 6u);
  const auto* bytes = reinterpret_cast<const unsigned char*>(group.data());
  const int count = bytes[4] | (bytes[5] << 8);
  ASSERT_EQ(count, 10);
  ASSERT_EQ(group.size(), 6u + 14u * 10u);
  std::vector<int> sizes;
  for (int i = 0; i < count; ++i) {
    const unsigned char* entry = bytes + 6 + 14 * i;
    sizes.push_back(entry[0] == 0 ? 256 : entry[0]);
    const int id = entry[12] | (entry[13] << 8);
    EXPECT_FALSE(Resource(RT_ICON, MAKEINTRESOURCEW(id)).empty()) << "image " << id;
  }
  EXPECT_EQ(sizes, (std::vector<int>{16, 20, 24, 32, 40, 48, 64, 96, 128, 256}));
}

TEST_F(ResourcesTest, ManifestAsksForNoElevationAndPerMonitorDpi) {
  const std::string manifest = Resource(RT_MANIFEST, MAKEINTRESOURCEW(1));
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find(">PerMonitorV2<"), std::string::npos);
  EXPECT_NE(manifest.find("<longPathAware xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                          "WindowsSettings\">true</longPathAware>"),
            std::string::npos);
}

TEST_F(ResourcesTest, VersionRecordNamesTheRelease) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(path_.c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(path_.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwFileVersionLS, 0x00160016u);
  EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
  EXPECT_EQ(fixed->dwProductVersionLS, 0x00160016u);
  auto text = [&](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT chars = 0;
    const std::wstring query = std::wstring(L"\\StringFileInfo\\040904e4\\") + name;
    if (!VerQueryValueW(info.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars)) {
      return std::wstring();
    }
    return std::wstring(value);
  };
  EXPECT_EQ(text(L"FileVersion"), L"1.0.22+22");
  EXPECT_EQ(text(L"ProductVersion"), L"1.0.22+22");
  EXPECT_EQ(text(L"ProductName"), L"tessarin");
  EXPECT_EQ(text(L"OriginalFilename"), L"tessarin.exe");
}

}  // namespace
