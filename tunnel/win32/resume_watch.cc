#include "tunnel/win32/resume_watch.h"

#include "tunnel/win32/system_library.h"

namespace tessarin {

namespace {

// The power library's, as it exports them (DEVICE_NOTIFY_CALLBACK with its
// subscribe parameters as the recipient).
using Callback = ULONG(CALLBACK*)(void* context, ULONG type, void* setting);
struct SubscribeParameters {
  Callback callback;
  void* context;
};
using RegisterFn = DWORD(WINAPI*)(DWORD flags, HANDLE recipient, void** registration);
using UnregisterFn = DWORD(WINAPI*)(void* registration);
constexpr DWORD kDeviceNotifyCallback = 2;

}  // namespace

struct ResumeWatch::Target {
  SubscribeParameters parameters;
  HWND window = nullptr;
  UINT message = 0;
};

namespace {

ULONG CALLBACK Notified(void* context, ULONG type, void*) {
  const auto* target = static_cast<const ResumeWatch::Target*>(context);
  if (type == PBT_APMRESUMEAUTOMATIC) PostMessageW(target->window, target->message, 0, 0);
  return ERROR_SUCCESS;
}

}  // namespace

ResumeWatch::~ResumeWatch() {
  if (registration_ == nullptr) return;
  const auto unregister = SystemCall<UnregisterFn>(SystemLibrary::kPowerProfile,
                                                   "PowerUnregisterSuspendResumeNotification");
  if (unregister != nullptr) unregister(registration_);
}

bool ResumeWatch::Start(HWND window, UINT message) {
  if (started_) return registration_ != nullptr;
  started_ = true;
  const auto subscribe = SystemCall<RegisterFn>(SystemLibrary::kPowerProfile,
                                                "PowerRegisterSuspendResumeNotification");
  if (subscribe == nullptr) return false;
  target_ = new Target;  // kept for the process's life: the system holds it
  target_->parameters.callback = &Notified;
  target_->parameters.context = target_;
  target_->window = window;
  target_->message = message;
  void* registration = nullptr;
  if (subscribe(kDeviceNotifyCallback, &target_->parameters, &registration) != ERROR_SUCCESS) {
    return false;
  }
  registration_ = registration;
  return true;
}

}  // namespace tessarin
