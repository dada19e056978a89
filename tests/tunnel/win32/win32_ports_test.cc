// The Win32 adapters for real, under Wine: registry, processes, job, WinINet.
#include <windows.h>

#include <share.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>

#include "tunnel/connectivity_probe.h"
#include "tunnel/core_process.h"
#include "tunnel/diagnostics_log.h"
#include "tunnel/proxy_guard.h"
#include "tunnel/start_thread.h"
#include "tunnel/system_proxy.h"
#include "tunnel/win32/win32_os_ports.h"

// Slows the exit of the next thread that ends after it is set, as a DLL's
// thread-detach work (under the loader lock) would.
std::atomic<bool> g_slow_next_exit{false};
extern "C" void NTAPI SlowThreadExit(PVOID, DWORD reason, PVOID) {
  if (reason == DLL_THREAD_DETACH && g_slow_next_exit.exchange(false)) ::Sleep(20);
}
extern "C" __attribute__((section(".CRT$XLF"), used)) const PIMAGE_TLS_CALLBACK g_slow_thread_exit =
    SlowThreadExit;

namespace tessarin {
namespace {

TEST(StartThreadTest, TheNextThreadRunsWhileTheLastOneIsStillEnding) {
  int ran = 0;
  for (int i = 0; i < 200; ++i) {
    // Shared: a second thread that comes later than the wait still has them.
    auto first_done = std::make_shared<std::atomic<bool>>(false);
    auto second_ran = std::make_shared<std::atomic<bool>>(false);
    g_slow_next_exit = true;
    ASSERT_TRUE(StartThread("first: ", [first_done] { *first_done = true; }));
    while (!*first_done) ::Sleep(0);
    // The first thread is in its slowed exit now.
    ASSERT_TRUE(StartThread("second: ", [second_ran] { *second_ran = true; }));
    for (int waited = 0; waited < 2000 && !*second_ran; ++waited) ::Sleep(1);
    ran += *second_ran ? 1 : 0;
    while (g_slow_next_exit) ::Sleep(1);  // never one exit's slowness in the next round
  }
  EXPECT_EQ(ran, 200);
}

constexpr wchar_t kSettings[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

bool ReadDword(const wchar_t* name, DWORD* value) {
  DWORD size = sizeof(*value);
  return ::RegGetValueW(HKEY_CURRENT_USER, kSettings, name, RRF_RT_REG_DWORD, nullptr, value,
                        &size) == ERROR_SUCCESS;
}

std::wstring ReadString(const wchar_t* name) {
  wchar_t buffer[512] = {};
  DWORD size = sizeof(buffer);
  if (::RegGetValueW(HKEY_CURRENT_USER, kSettings, name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return L"<absent>";
  }
  return buffer;
}

std::wstring ReadFileText(const std::wstring& path) {
  FILE* file = _wfsopen(path.c_str(), L"rb", _SH_DENYNO);
  if (file == nullptr) return L"";
  std::wstring text;
  wchar_t c;
  while (std::fread(&c, sizeof(c), 1, file) == 1) text += c;
  std::fclose(file);
  return text;
}

std::wstring FreshDirectory(const wchar_t* name) {
  Win32SystemPort system;
  const std::wstring directory = ApplicationDirectory(system) + L"\\" + name;
  ::CreateDirectoryW(directory.c_str(), nullptr);
  ::DeleteFileW((directory + L"\\child-report.txt").c_str());
  ::DeleteFileW((directory + L"\\core-pid.txt").c_str());
  ::DeleteFileW((directory + L"\\grandchild-pid.txt").c_str());
  return directory;
}

std::wstring ChildPath() {
  Win32SystemPort system;
  return ApplicationDirectory(system) + L"\\test_child.exe";
}

template <typename Predicate>
bool WaitFor(Predicate done, int timeout_ms = 10000) {
  for (int waited = 0; waited < timeout_ms; waited += 50) {
    if (done()) return true;
    ::Sleep(50);
  }
  return done();
}

TEST(Win32SystemProxyTest, OnWritesThreeValuesAndOffOnlyProxyEnable) {
  Win32ProxySettingsPort settings;
  ASSERT_TRUE(SetSystemProxy(settings, true));
  DWORD enabled = 7;
  ASSERT_TRUE(ReadDword(L"ProxyEnable", &enabled));
  EXPECT_EQ(enabled, 1u);
  EXPECT_EQ(ReadString(L"ProxyServer"),
            L"http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808");
  EXPECT_EQ(ReadString(L"ProxyOverride"), L"<local>");

  ASSERT_TRUE(SetSystemProxy(settings, false));
  ASSERT_TRUE(ReadDword(L"ProxyEnable", &enabled));
  EXPECT_EQ(enabled, 0u);
  EXPECT_EQ(ReadString(L"ProxyServer"),
            L"http=127.0.0.1:20808;https=127.0.0.1:20808;socks=127.0.0.1:20808");
  EXPECT_EQ(ReadString(L"ProxyOverride"), L"<local>");
}

TEST(Win32ProcessTest, CoreStartsHiddenWithItsCommandLineAndDirectory) {
  const std::wstring directory = FreshDirectory(L"core-run");
  const std::wstring config = directory + L"\\tessarin-sing-box.json";
  Win32ProcessPort processes;
  const uint32_t id = LaunchCore(processes, ChildPath(), config, directory);
  ASSERT_NE(id, 0u);
  const std::wstring report_path = directory + L"\\child-report.txt";
  ASSERT_TRUE(WaitFor([&] { return !ReadFileText(report_path).empty(); }));
  EXPECT_EQ(ReadFileText(report_path),
            L"\"" + ChildPath() + L"\" run -c \"" + config + L"\"\n" + directory + L"\n");
  EXPECT_TRUE(IsCoreAlive(processes, id));

  const auto start = std::chrono::steady_clock::now();
  TerminateCore(processes, id);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(3000));
  EXPECT_FALSE(IsCoreAlive(processes, id));
  // Terminating a core that is already gone returns at once.
  TerminateCore(processes, id);
}

TEST(Win32ProcessTest, CoreThatExitsIsNotAlive) {
  Win32ProcessPort processes;
  // The child exits with 2 at once when started with other arguments.
  const uint32_t id = processes.Launch(L"\"" + ChildPath() + L"\" other", FreshDirectory(L"exit"));
  ASSERT_NE(id, 0u);
  EXPECT_TRUE(WaitFor([&] { return !IsCoreAlive(processes, id); }));
  // An exit code of 259 is STILL_ACTIVE's value: only the handle knows better.
  const uint32_t same_code =
      processes.Launch(L"\"" + ChildPath() + L"\" --exit-259", FreshDirectory(L"exit"));
  ASSERT_NE(same_code, 0u);
  EXPECT_TRUE(WaitFor([&] { return !IsCoreAlive(processes, same_code); }));
  EXPECT_EQ(LaunchCore(processes, L"C:\\no\\such\\sing-box.exe", L"x", L"C:\\"), 0u);
}

// The watchdog's notice: posted when a launched process ends unasked, and
// never for one the port terminated itself.
TEST(Win32ProcessTest, AnEndedProcessIsNoticedWithoutAsking) {
  const HWND window =
      ::CreateWindowExW(0, L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  constexpr UINT kExited = WM_APP + 9;
  Win32ProcessPort processes;
  processes.NotifyExits(window, kExited);
  const auto notice = [&](DWORD within_ms) -> std::optional<WPARAM> {
    const ULONGLONG deadline = ::GetTickCount64() + within_ms;
    MSG message;
    while (::GetTickCount64() < deadline) {
      if (::PeekMessageW(&message, window, kExited, kExited, PM_REMOVE)) return message.wParam;
      ::Sleep(1);
    }
    return std::nullopt;
  };
  const std::wstring directory = FreshDirectory(L"watch");
  const uint32_t id = LaunchCore(processes, ChildPath(), directory + L"\\cfg.json", directory);
  ASSERT_NE(id, 0u);
  unique_handle outside(::OpenProcess(PROCESS_TERMINATE, FALSE, id));
  ASSERT_TRUE(outside);
  const auto killed = std::chrono::steady_clock::now();
  ::TerminateProcess(outside.get(), 1);
  EXPECT_EQ(notice(5000), std::optional<WPARAM>(id));
  std::printf("exit noticed %lld ms after the kill\n",
              static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                         std::chrono::steady_clock::now() - killed)
                                         .count()));
  const uint32_t stopped = LaunchCore(processes, ChildPath(), directory + L"\\cfg.json", directory);
  TerminateCore(processes, stopped);
  EXPECT_EQ(notice(500), std::nullopt);
  ::DestroyWindow(window);
}

TEST(Win32ProcessTest, CoreAndItsChildrenDieWithAKilledHost) {
  const std::wstring directory = FreshDirectory(L"job");
  std::wstring command = L"\"" + ChildPath() + L"\" --hold-core \"" + directory + L"\"";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                               nullptr, directory.c_str(), &startup, &info));
  unique_handle host(info.hProcess);
  unique_handle host_thread(info.hThread);
  const std::wstring pid_path = directory + L"\\core-pid.txt";
  ASSERT_TRUE(WaitFor([&] { return !ReadFileText(pid_path).empty(); }));
  const DWORD core_id = std::stoul(ReadFileText(pid_path));
  ASSERT_NE(core_id, 0u);
  unique_handle core(
      ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, core_id));
  ASSERT_TRUE(core);
  DWORD code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(core.get(), &code));
  EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));

  // The core was in the job before it ran, so what it starts is in it too.
  const std::wstring grandchild_path = directory + L"\\grandchild-pid.txt";
  ASSERT_TRUE(WaitFor([&] { return !ReadFileText(grandchild_path).empty(); }));
  unique_handle grandchild(
      ::OpenProcess(SYNCHRONIZE, FALSE, std::stoul(ReadFileText(grandchild_path))));
  ASSERT_TRUE(grandchild);
  EXPECT_EQ(::WaitForSingleObject(grandchild.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));

  ::TerminateProcess(host.get(), 9);
  ::WaitForSingleObject(host.get(), 5000);
  EXPECT_EQ(::WaitForSingleObject(core.get(), 10000), WAIT_OBJECT_0);
  EXPECT_EQ(::WaitForSingleObject(grandchild.get(), 10000), WAIT_OBJECT_0);
}

// Killed together with the job it was started in (a terminal's, an IDE's):
// the guard broke away from that job and still switches our proxy off.
TEST(Win32ProxyGuardTest, TheGuardOutlivesTheHostsJob) {
  Win32ProxySettingsPort settings;
  ASSERT_TRUE(SetSystemProxy(settings, true));
  unique_handle job(::CreateJobObjectW(nullptr, nullptr));
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
  limits.BasicLimitInformation.LimitFlags =
      JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  ASSERT_TRUE(::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                        sizeof(limits)));
  std::wstring command = L"\"" + ChildPath() + L"\" --arm-guard";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info = {};
  ASSERT_TRUE(::CreateProcessW(nullptr, &command[0], nullptr, nullptr, FALSE,
                               CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr, nullptr, &startup,
                               &info));
  unique_handle host(info.hProcess);
  unique_handle host_thread(info.hThread);
  ASSERT_TRUE(::AssignProcessToJobObject(job.get(), host.get()));
  ::ResumeThread(host_thread.get());
  // The guard publishes its process id while it waits.
  ASSERT_TRUE(WaitFor([] {
    unique_handle running(::OpenFileMappingW(FILE_MAP_READ, FALSE, kGuardPublishedName));
    return static_cast<bool>(running);
  }));
  job.reset();  // the host goes with its job
  EXPECT_EQ(::WaitForSingleObject(host.get(), 5000), WAIT_OBJECT_0);
  DWORD enabled = 7;
  EXPECT_TRUE(WaitFor([&] { return ReadDword(L"ProxyEnable", &enabled) && enabled == 0; }));
}

TEST(Win32ProbeTest, NothingListeningFailsAfterEightPauses) {
  Win32InternetPort internet;
  Win32SystemPort system;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ProbeConnectivity(internet, system));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(4000));
  EXPECT_LT(elapsed, std::chrono::milliseconds(30000));
}

// A hard link planted again and again while the log writes: what the log
// opened is looked at, and Windows keeps its names while it is open.
TEST(Win32LogTest, NothingIsWrittenThroughALinkPlantedAfterTheLook) {
  namespace fs = std::filesystem;
  const fs::path root = fs::temp_directory_path() / "tessarin-planted-link";
  const fs::path ours = root / "logs" / "tessarin.log";
  const fs::path theirs = root / "theirs.txt";
  fs::remove_all(root);
  fs::create_directories(root / "logs");
  std::ofstream(theirs, std::ios::binary) << "theirs\n";
  std::atomic<bool> done{false};
  std::atomic<bool> planter_ended{false};
  ASSERT_TRUE(StartThread("planter: ", [&] {
    std::error_code ignored;
    while (!done) {
      fs::remove(ours, ignored);
      fs::create_hard_link(theirs, ours, ignored);
    }
    planter_ended = true;
  }));
  testing::internal::CaptureStderr();
  DiagnosticsLog log((root / "logs").native(), 7, [] { return uint64_t{0}; });
  for (int i = 0; i < 1500; ++i) log.Write("ours");
  done = true;
  while (!planter_ended) ::Sleep(1);
  log.Write("last");  // and the log goes on in a file of its own
  testing::internal::GetCapturedStderr();
  auto read = [](const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  EXPECT_EQ(read(theirs), "theirs\n");
  EXPECT_NE(read(ours).find("[7] last\n"), std::string::npos);
  fs::remove_all(root);
}

}  // namespace
}  // namespace tessarin
