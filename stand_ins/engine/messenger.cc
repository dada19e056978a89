// The messenger half of the stand-in engine, shared by the native build and
// the Windows DLL; the scripted UI and the tests drive it through Deliver.
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "engine_api/flutter_windows.h"
#include "stand_ins/engine/stand_in_controls.h"

struct FlutterDesktopMessageResponse {
  stand_in::Delivery delivery;
};

struct FlutterDesktopMessenger {
  std::map<std::string, std::pair<FlutterDesktopMessageCallback, void*>> callbacks;
  std::deque<std::unique_ptr<FlutterDesktopMessageResponse>> responses;
  int references = 1;
  bool available = true;
  int locks = 0;
  int unlocks = 0;
  int set_callbacks = 0;
  int plain_sends = 0;
  bool accept_send_with_reply = false;
  FlutterDesktopBinaryReply pending_reply = nullptr;
  void* pending_user_data = nullptr;
  void (*response_listener)(void*) = nullptr;
  void* response_listener_data = nullptr;
};

namespace {
void Unreference(FlutterDesktopMessengerRef messenger) {
  if (--messenger->references == 0) delete messenger;
}
}  // namespace

extern "C" {

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  ++messenger->set_callbacks;
  if (callback == nullptr) {
    messenger->callbacks.erase(channel);
  } else {
    messenger->callbacks[channel] = {callback, user_data};
  }
}

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char*, const uint8_t*,
                                 size_t) {
  ++messenger->plain_sends;
  return true;
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger, const char*,
                                          const uint8_t*, size_t, FlutterDesktopBinaryReply reply,
                                          void* user_data) {
  if (!messenger->accept_send_with_reply) return false;
  messenger->pending_reply = reply;
  messenger->pending_user_data = user_data;
  return true;
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
  auto* response = const_cast<FlutterDesktopMessageResponse*>(handle);
  if (response->delivery.responses++ == 0) {
    response->delivery.null_bytes = data == nullptr;
    if (data) response->delivery.bytes.assign(data, data + data_length);
  }
  if (messenger->response_listener) messenger->response_listener(messenger->response_listener_data);
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  ++messenger->references;
  return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  Unreference(messenger);
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  ++messenger->locks;
  return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) { ++messenger->unlocks; }

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  return messenger->available;
}

}  // extern "C"

namespace stand_in {

FlutterDesktopMessengerRef CreateMessenger() { return new FlutterDesktopMessenger(); }

void ShutDownMessenger(FlutterDesktopMessengerRef messenger) {
  messenger->available = false;
  messenger->callbacks.clear();
  Unreference(messenger);
}

Delivery Deliver(FlutterDesktopMessengerRef messenger, const std::string& channel,
                 const std::vector<uint8_t>& bytes) {
  messenger->responses.push_back(std::make_unique<FlutterDesktopMessageResponse>());
  FlutterDesktopMessageResponse* response = messenger->responses.back().get();
  const auto found = messenger->callbacks.find(channel);
  if (found == messenger->callbacks.end()) return response->delivery;
  response->delivery.delivered = true;
  FlutterDesktopMessage message = {sizeof(FlutterDesktopMessage), channel.c_str(),
                                   bytes.empty() ? nullptr : bytes.data(), bytes.size(), response};
  found->second.first(messenger, &message, found->second.second);
  return response->delivery;
}

Delivery LastDelivery(FlutterDesktopMessengerRef messenger) {
  return messenger->responses.empty() ? Delivery() : messenger->responses.back()->delivery;
}

size_t DeliveryCount(FlutterDesktopMessengerRef messenger) { return messenger->responses.size(); }

Delivery DeliveryAt(FlutterDesktopMessengerRef messenger, size_t index) {
  return index < messenger->responses.size() ? messenger->responses[index]->delivery : Delivery();
}

void SetResponseListener(FlutterDesktopMessengerRef messenger, void (*listener)(void*),
                         void* user_data) {
  messenger->response_listener = listener;
  messenger->response_listener_data = user_data;
}

void SetAvailable(FlutterDesktopMessengerRef messenger, bool available) {
  messenger->available = available;
}
int LockCount(FlutterDesktopMessengerRef messenger) { return messenger->locks; }
int UnlockCount(FlutterDesktopMessengerRef messenger) { return messenger->unlocks; }
int ReferenceCount(FlutterDesktopMessengerRef messenger) { return messenger->references; }
void* UserData(FlutterDesktopMessengerRef messenger, const std::string& channel) {
  const auto found = messenger->callbacks.find(channel);
  return found == messenger->callbacks.end() ? nullptr : found->second.second;
}
bool HasCallback(FlutterDesktopMessengerRef messenger, const std::string& channel) {
  return messenger->callbacks.count(channel) > 0;
}
int SetCallbackCount(FlutterDesktopMessengerRef messenger) { return messenger->set_callbacks; }
int PlainSends(FlutterDesktopMessengerRef messenger) { return messenger->plain_sends; }
void AcceptSendWithReply(FlutterDesktopMessengerRef messenger, bool accept) {
  messenger->accept_send_with_reply = accept;
}
void AnswerLastSend(FlutterDesktopMessengerRef messenger, const std::vector<uint8_t>& reply) {
  if (messenger->pending_reply == nullptr) return;
  FlutterDesktopBinaryReply trampoline = messenger->pending_reply;
  messenger->pending_reply = nullptr;
  trampoline(reply.data(), reply.size(), messenger->pending_user_data);
}

}  // namespace stand_in
