#include "tunnel/win32/network_watch.h"

#include <winsock2.h>
// After winsock2.h; ws2ipdef.h before the IP helper's header, which declares
// its routes only after it.
#include <ws2ipdef.h>
// (Not sorted above it.)
#include <iphlpapi.h>

#include <atomic>

#include "tunnel/win32/system_library.h"

namespace tessarin {

struct NetworkWatch::Target {
  HWND window = nullptr;
  UINT message = 0;
  std::atomic<bool> posted{false};
};

namespace {

// The IP helper's (Vista and later), as it exports them; the row and the
// kind of change are not read.
using ChangeCallback = void(WINAPI*)(void* context, void* row, int type);
using NotifyFn = DWORD(WINAPI*)(USHORT family, ChangeCallback callback, void* context,
                                BOOLEAN initial, HANDLE* handle);
using CancelFn = DWORD(WINAPI*)(HANDLE handle);
constexpr USHORT kAnyFamily = 0;  // AF_UNSPEC: IPv4 and IPv6

void WINAPI Changed(void* context, void*, int) {
  auto* target = static_cast<NetworkWatch::Target*>(context);
  // A burst of changes (an adapter's addresses one by one) is one notice;
  // one that could not be posted leaves the next change to post.
  if (!target->posted.exchange(true) && !PostMessageW(target->window, target->message, 0, 0)) {
    target->posted.store(false);
  }
}

// Only a default route that comes, goes or changes: the routes other
// programs add (a VM's, another VPN's own networks) change nothing here.
void WINAPI RouteChanged(void* context, void* row, int type) {
  const auto* route = static_cast<const MIB_IPFORWARD_ROW2*>(row);
  if (route != nullptr && route->DestinationPrefix.PrefixLength == 0) Changed(context, row, type);
}

}  // namespace

NetworkWatch::~NetworkWatch() {
  const auto cancel = SystemCall<CancelFn>(SystemLibrary::kIpHelper, "CancelMibChangeNotify2");
  if (cancel == nullptr) return;
  if (notification_ != nullptr) cancel(notification_);
  if (routes_ != nullptr) cancel(routes_);
}

bool NetworkWatch::Start(HWND window, UINT message) {
  if (started_) return notification_ != nullptr;
  started_ = true;
  const auto notify = SystemCall<NotifyFn>(SystemLibrary::kIpHelper, "NotifyIpInterfaceChange");
  if (notify == nullptr) return false;
  target_ = new Target;  // kept for the process's life
  target_->window = window;
  target_->message = message;
  HANDLE handle = nullptr;
  if (notify(kAnyFamily, &Changed, target_, FALSE, &handle) != NO_ERROR) return false;
  notification_ = handle;
  // A default route that comes or goes (a Wi-Fi that joins, a VPN that
  // takes the route) with no interface changing: told too, where it can be.
  const auto routes = SystemCall<NotifyFn>(SystemLibrary::kIpHelper, "NotifyRouteChange2");
  HANDLE route_handle = nullptr;
  if (routes != nullptr &&
      routes(kAnyFamily, &RouteChanged, target_, FALSE, &route_handle) == NO_ERROR) {
    routes_ = route_handle;
  }
  return true;
}

void NetworkWatch::Taken() {
  if (target_ != nullptr) target_->posted.store(false);
}

}  // namespace tessarin
