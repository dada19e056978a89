#include "tunnel/win32/win32_proxy_settings.h"

#include <ras.h>
#include <raserror.h>
#include <wininet.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "tunnel/proxy_guard.h"
#include "tunnel/start_thread.h"
#include "tunnel/system_proxy.h"
#include "tunnel/win32/message_loop_waits.h"
#include "tunnel/win32/system_library.h"

namespace tessarin {

namespace {

// From the system directory only, only when first needed (the guard stays
// small).
constexpr SystemLibrary kWinInet = SystemLibrary::kWinInet;
constexpr SystemLibrary kRasApi = SystemLibrary::kRasApi;

template <typename Function>
Function As(FARPROC address) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(address));
}

constexpr wchar_t kInternetSettingsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

}  // namespace

bool Win32ProxySettingsPort::Open(REGSAM access) {
  HKEY key = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, access, &key) != ERROR_SUCCESS) {
    return false;
  }
  key_.reset(key);
  return true;
}

bool Win32ProxySettingsPort::OpenSettingsKey() { return Open(KEY_SET_VALUE); }

bool Win32ProxySettingsPort::OpenSettingsKeyToCheck() {
  return Open(KEY_SET_VALUE | KEY_QUERY_VALUE);
}

bool Win32ProxySettingsPort::SetDwordValue(const std::wstring& name, uint32_t value) {
  const DWORD data = value;
  return ::RegSetValueExW(key_.get(), name.c_str(), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&data), sizeof(data)) == ERROR_SUCCESS;
}

bool Win32ProxySettingsPort::SetStringValue(const std::wstring& name, const std::wstring& text) {
  return ::RegSetValueExW(key_.get(), name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool Win32ProxySettingsPort::ReadDwordValue(const std::wstring& name, uint32_t* value) {
  DWORD data = 0;
  DWORD size = sizeof(data);
  if (::RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &data, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  *value = data;
  return true;
}

bool Win32ProxySettingsPort::ReadStringValue(const std::wstring& name, std::wstring* text) {
  DWORD size = 0;
  if (::RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size) !=
      ERROR_SUCCESS) {
    return false;
  }
  // The value may change between the two reads; a grown one fails the second.
  std::vector<wchar_t> buffer(size / sizeof(wchar_t) + 1);
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  if (::RegGetValueW(key_.get(), nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, buffer.data(),
                     &size) != ERROR_SUCCESS) {
    return false;
  }
  text->assign(buffer.data());
  return true;
}

void Win32ProxySettingsPort::NotifyInternetOption(uint32_t option) {
  // Looked up when needed: the guard never loads WinINet unless it must
  // tell running programs that their proxy changed.
  using SetOption = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, DWORD);
  const auto set_option = As<SetOption>(SystemFunction(kWinInet, "InternetSetOptionW"));
  if (set_option != nullptr) set_option(nullptr, option, nullptr, 0);
}

bool Win32ProxySettingsPort::MachinePolicyOverridesUser() {
  DWORD per_user = 1;
  DWORD size = sizeof(per_user);
  return ::RegGetValueW(
             HKEY_LOCAL_MACHINE,
             L"Software\\Policies\\Microsoft\\Windows\\CurrentVersion\\Internet Settings",
             L"ProxySettingsPerUser", RRF_RT_REG_DWORD, nullptr, &per_user,
             &size) == ERROR_SUCCESS &&
         per_user == 0;
}

namespace {

constexpr DWORD kPerConnectionOption = 75;  // INTERNET_OPTION_PER_CONNECTION_OPTION
constexpr DWORD kPerConnectionFlags = 1;    // INTERNET_PER_CONN_FLAGS
constexpr DWORD kPerConnectionServer = 2;   // INTERNET_PER_CONN_PROXY_SERVER
constexpr DWORD kPerConnectionBypass = 3;   // INTERNET_PER_CONN_PROXY_BYPASS

}  // namespace

namespace {

// What RasEnumConnections answers now; it may start the dial-up service on
// demand, so only a thread that may wait calls it.
std::vector<std::wstring> EnumerateDialUps() {
  std::vector<std::wstring> names;
  using Enumerate = DWORD(WINAPI*)(RASCONNW*, DWORD*, DWORD*);
  const auto enumerate = As<Enumerate>(SystemFunction(kRasApi, "RasEnumConnectionsW"));
  if (enumerate == nullptr) return names;
  // The first entry's dwSize says which structure we mean; a list that grew
  // since the size was asked for is asked for again.
  std::vector<RASCONNW> connections(1);
  DWORD status = ERROR_BUFFER_TOO_SMALL;
  DWORD count = 0;
  for (int tries = 0; tries < 4 && status == ERROR_BUFFER_TOO_SMALL; ++tries) {
    for (RASCONNW& connection : connections) connection.dwSize = sizeof(RASCONNW);
    DWORD bytes = static_cast<DWORD>(connections.size() * sizeof(RASCONNW));
    count = 0;
    status = enumerate(connections.data(), &bytes, &count);
    if (status == ERROR_BUFFER_TOO_SMALL) connections.resize(bytes / sizeof(RASCONNW) + 1);
  }
  if (status != ERROR_SUCCESS) return names;
  for (DWORD i = 0; i < count && i < connections.size(); ++i) {
    names.emplace_back(connections[i].szEntryName);
  }
  return names;
}

// The connected dial-up and VPN connections as a thread of their own last
// enumerated them: again whenever the system says one came or went, and at
// least every kDialUpRecheckMs (where it cannot say, as under Wine). The
// same thread does what switches ask of the connections.
constexpr DWORD kDialUpRecheckMs = 2000;
struct DialUpList {
  std::mutex lock;
  std::vector<std::wstring> names;
  std::atomic<bool> listing{false};
  // Set before the thread starts, never changed after.
  unique_handle work{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
  std::unique_ptr<BackgroundConnections> connections;
  Win32ProxySettingsPort::ChangeNotice worked = nullptr;
  void* worked_context = nullptr;

  void Refresh() {
    std::vector<std::wstring> now = EnumerateDialUps();
    bool came = false;
    {
      std::lock_guard<std::mutex> hold(lock);
      for (const std::wstring& name : now) {
        came |= std::find(names.begin(), names.end(), name) == names.end();
      }
      names.swap(now);
    }
    // One that connects while a tunnel is up gets ours too, and one a
    // switch-on could not reach is tried again.
    connections->LookAgain(came);
  }
  void Switch() {
    // A port of its own, which does the work here (WinINet's calls, our
    // kept copies) and reads the list just refreshed.
    Win32ProxySettingsPort own;
    bool worked_now = false;
    while (connections->RunOnce(own, &worked_now)) {
      if (worked_now && worked != nullptr) worked(worked_context);
    }
  }
  void Watch() {
    const unique_handle changed(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
    using Notify = DWORD(WINAPI*)(HRASCONN, HANDLE, DWORD);
    const auto notify = As<Notify>(SystemFunction(kRasApi, "RasConnectionNotificationW"));
    if (changed && notify != nullptr) {
      notify(reinterpret_cast<HRASCONN>(INVALID_HANDLE_VALUE), changed.get(),
             RASCN_Connection | RASCN_Disconnection);
    }
    for (;;) {
      // Out of memory: the last list stands, and what was asked is looked at
      // again at the next wake.
      try {
        Refresh();
      } catch (...) {
      }
      try {
        Switch();
      } catch (...) {
      }
      const HANDLE wakes[2] = {work.get(), changed.get()};
      if (::WaitForMultipleObjects(changed ? 2 : 1, wakes, FALSE, kDialUpRecheckMs) ==
          WAIT_FAILED) {
        ::Sleep(kDialUpRecheckMs);
      }
    }
  }
};
DialUpList& DialUps() {
  static DialUpList* list = new DialUpList();  // its thread lives as long as the process
  return *list;
}

// The list's thread, once; false when none could be had.
bool StartListing(DialUpList& list) {
  if (list.listing.exchange(true)) return true;
  // Listed first on that thread too: until then, no connection is known
  // (what we changed on one is kept in our own key, and found there).
  if (StartThread("Exception listing dial-up connections: ", [&list] { list.Watch(); })) {
    return true;
  }
  list.listing = false;
  return false;
}

}  // namespace

void Win32ProxySettingsPort::SwitchConnectionsInBackground(ChangeNotice worked, void* context) {
  DialUpList& list = DialUps();
  if (!list.work) return;  // done here, then
  if (!list.connections) {
    // Something kept is what an earlier run left on a connection: the list's
    // thread starts now, to give it back. Otherwise at the first switch-on:
    // until then nothing of ours is on any connection (and the dial-up
    // library stays unloaded).
    const bool leftovers = !KeptConnections().empty();
    list.connections = std::make_unique<BackgroundConnections>(
        leftovers, [&list] { ::SetEvent(list.work.get()); });
    list.worked = worked;
    list.worked_context = context;
    if (leftovers && !StartListing(list)) return;  // enumerated and switched where asked, then
  }
  background_ = true;
}

bool Win32ProxySettingsPort::FinishConnections(uint32_t ms) {
  DialUpList& list = DialUps();
  if (!list.listing || !list.connections) return true;
  for (uint32_t waited = 0; !list.connections->Idle(); waited += 10) {
    if (waited >= ms) return false;
    ::Sleep(10);
  }
  return true;
}

std::vector<std::wstring> Win32ProxySettingsPort::DialUpConnections() {
  DialUpList& list = DialUps();
  if (!list.listing) return EnumerateDialUps();
  std::lock_guard<std::mutex> hold(list.lock);
  return list.names;
}

ProxySettingsPort::Connections Win32ProxySettingsPort::SwitchConnections(bool ours, bool* wrote) {
  if (!background_) return ProxySettingsPort::SwitchConnections(ours, wrote);
  DialUpList& list = DialUps();
  if (!list.listing) {
    if (!ours) return Connections::kDone;  // no switch-on yet, nothing kept at the start
    if (!StartListing(list)) {
      background_ = false;  // enumerated and switched here, then
      return ProxySettingsPort::SwitchConnections(ours, wrote);
    }
  }
  return list.connections->Ask(ours);
}

namespace {

constexpr DWORD kPerConnectionScript = 4;  // INTERNET_PER_CONN_AUTOCONFIG_URL

// The text WinINet allocated, freed.
std::wstring Taken(wchar_t* text) {
  if (text == nullptr) return std::wstring();
  std::wstring out(text);
  ::GlobalFree(text);
  return out;
}

// flags, then each text as its length in units and its units.
std::vector<uint8_t> Pack(const ConnectionProxy& proxy) {
  std::vector<uint8_t> out;
  auto put = [&out](const void* data, size_t size) {
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
  };
  put(&proxy.flags, sizeof(proxy.flags));
  for (const std::wstring* text : {&proxy.server, &proxy.bypass, &proxy.script}) {
    const uint32_t units = static_cast<uint32_t>(text->size());
    put(&units, sizeof(units));
    put(text->data(), units * sizeof(wchar_t));
  }
  return out;
}

bool Unpack(const std::vector<uint8_t>& in, ConnectionProxy* proxy) {
  size_t at = 0;
  auto get = [&](void* data, size_t size) {
    if (in.size() - at < size) return false;
    std::copy(in.begin() + at, in.begin() + at + size, static_cast<uint8_t*>(data));
    at += size;
    return true;
  };
  if (!get(&proxy->flags, sizeof(proxy->flags))) return false;
  for (std::wstring* text : {&proxy->server, &proxy->bypass, &proxy->script}) {
    uint32_t units = 0;
    if (!get(&units, sizeof(units)) || units > (in.size() - at) / sizeof(wchar_t)) return false;
    text->resize(units);
    if (!get(&(*text)[0], units * sizeof(wchar_t))) return false;
  }
  return at == in.size();
}

}  // namespace

bool Win32ProxySettingsPort::ReadConnectionProxy(const std::wstring& connection,
                                                 ConnectionProxy* proxy) {
  using QueryOption = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, LPDWORD);
  const auto query = As<QueryOption>(SystemFunction(kWinInet, "InternetQueryOptionW"));
  if (query == nullptr) return false;
  INTERNET_PER_CONN_OPTIONW options[4] = {};
  options[0].dwOption = kPerConnectionFlags;
  options[1].dwOption = kPerConnectionServer;
  options[2].dwOption = kPerConnectionBypass;
  options[3].dwOption = kPerConnectionScript;
  std::wstring name = connection;
  INTERNET_PER_CONN_OPTION_LISTW list = {};
  list.dwSize = sizeof(list);
  list.pszConnection = &name[0];
  list.dwOptionCount = 4;
  list.pOptions = options;
  DWORD size = sizeof(list);
  if (!query(nullptr, kPerConnectionOption, &list, &size)) return false;
  // WinINet allocated the texts; they are the caller's to free.
  proxy->flags = options[0].Value.dwValue;
  proxy->server = Taken(options[1].Value.pszValue);
  proxy->bypass = Taken(options[2].Value.pszValue);
  proxy->script = Taken(options[3].Value.pszValue);
  return true;
}

bool Win32ProxySettingsPort::WriteConnectionProxy(const std::wstring& connection,
                                                  const ConnectionProxy& proxy) {
  using SetOption = BOOL(WINAPI*)(HINTERNET, DWORD, LPVOID, DWORD);
  const auto set = As<SetOption>(SystemFunction(kWinInet, "InternetSetOptionW"));
  if (set == nullptr) return false;
  std::wstring name = connection;
  std::wstring texts[3] = {proxy.server, proxy.bypass, proxy.script};
  INTERNET_PER_CONN_OPTIONW options[4] = {};
  options[0].dwOption = kPerConnectionFlags;
  options[0].Value.dwValue = proxy.flags;
  const DWORD text_options[3] = {kPerConnectionServer, kPerConnectionBypass, kPerConnectionScript};
  for (int i = 0; i < 3; ++i) {
    options[i + 1].dwOption = text_options[i];
    options[i + 1].Value.pszValue = &texts[i][0];
  }
  INTERNET_PER_CONN_OPTION_LISTW list = {};
  list.dwSize = sizeof(list);
  list.pszConnection = &name[0];
  list.dwOptionCount = 4;
  list.pOptions = options;
  return set(nullptr, kPerConnectionOption, &list, sizeof(list)) != FALSE;
}

std::vector<std::wstring> Win32ProxySettingsPort::KeptConnections() {
  std::vector<std::wstring> names;
  HKEY raw = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKeptConnectionsKey, 0, KEY_QUERY_VALUE, &raw) !=
      ERROR_SUCCESS) {
    return names;
  }
  const unique_hkey key(raw);
  for (DWORD index = 0;; ++index) {
    wchar_t name[16384];
    DWORD length = 16384;
    if (::RegEnumValueW(key.get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    names.emplace_back(name, length);
  }
  return names;
}

bool Win32ProxySettingsPort::ReadKeptConnection(const std::wstring& connection,
                                                ConnectionProxy* proxy) {
  DWORD size = 0;
  if (::RegGetValueW(HKEY_CURRENT_USER, kKeptConnectionsKey, connection.c_str(), RRF_RT_REG_BINARY,
                     nullptr, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  std::vector<uint8_t> data(size);
  if (::RegGetValueW(HKEY_CURRENT_USER, kKeptConnectionsKey, connection.c_str(), RRF_RT_REG_BINARY,
                     nullptr, data.data(), &size) != ERROR_SUCCESS) {
    return false;
  }
  data.resize(size);
  return Unpack(data, proxy);
}

bool Win32ProxySettingsPort::KeepConnection(const std::wstring& connection,
                                            const ConnectionProxy& proxy) {
  HKEY raw = nullptr;
  if (::RegCreateKeyExW(HKEY_CURRENT_USER, kKeptConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE,
                        nullptr, &raw, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const unique_hkey key(raw);
  const std::vector<uint8_t> data = Pack(proxy);
  return ::RegSetValueExW(key.get(), connection.c_str(), 0, REG_BINARY, data.data(),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

void Win32ProxySettingsPort::ForgetConnection(const std::wstring& connection) {
  HKEY raw = nullptr;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kKeptConnectionsKey, 0, KEY_SET_VALUE, &raw) !=
      ERROR_SUCCESS) {
    return;
  }
  const unique_hkey key(raw);
  ::RegDeleteValueW(key.get(), connection.c_str());
}

Win32ProxySettingsPort::ChangeEvent::~ChangeEvent() {
  if (waited) StopWakingInMessageLoop(event.get());
}

void Win32ProxySettingsPort::NotifyChanges(ChangeNotice notice, void* context) {
  notice_ = notice;
  notice_context_ = context;
  // Waited on by the window's loop from now on; what arms it runs on the
  // proxy owner's thread.
  auto change = std::make_unique<ChangeEvent>();
  change->event.reset(::CreateEventW(nullptr, FALSE, FALSE, nullptr));
  if (!change->event || !WakeInMessageLoop(
                            change->event.get(),
                            [](void* port) {
                              auto* self = static_cast<Win32ProxySettingsPort*>(port);
                              // The change asked for came: asked again at
                              // the owner's next look.
                              self->asked_.store(false);
                              if (self->wanted_.load()) self->notice_(self->notice_context_);
                            },
                            this)) {
    return;
  }
  change->waited = true;
  change_ = std::move(change);
}

void Win32ProxySettingsPort::WatchChanges(bool on) {
  // The key stays open: closing it would signal the event (a change that is
  // none, at every switch-off). Not wanted, a change is only not told.
  wanted_.store(on);
  if (!on || !change_) return;
  if (!watchedKey_) {
    HKEY key = nullptr;
    if (::RegOpenKeyExW(HKEY_CURRENT_USER, kInternetSettingsKey, 0, KEY_NOTIFY, &key) !=
        ERROR_SUCCESS) {
      return;
    }
    watchedKey_.reset(key);
  }
  // One change each time it is asked, and asked once until it came: the
  // owner asks again once it has looked (from its own thread, which lives
  // as long as the watch).
  if (asked_.exchange(true)) return;
  if (::RegNotifyChangeKeyValue(watchedKey_.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET,
                                change_->event.get(), TRUE) != ERROR_SUCCESS) {
    asked_.store(false);
  }
}

}  // namespace tessarin
