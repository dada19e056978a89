#include "channel/binary_messenger_impl.h"

#include <memory>
#include <utility>

#include "channel/diagnostics.h"

namespace flutter {

namespace {

// What every copy of one message's reply closure shares: one reference to the
// platform messenger, and the response handle, which answers once whichever
// copy sends (the engine frees the handle with the first response).
class PendingResponse {
 public:
  PendingResponse(FlutterDesktopMessengerRef messenger,
                  const FlutterDesktopMessageResponseHandle* response)
      : messenger_(messenger), response_(response) {}
  ~PendingResponse() { FlutterDesktopMessengerRelease(messenger_); }
  PendingResponse(const PendingResponse&) = delete;
  PendingResponse& operator=(const PendingResponse&) = delete;

  void Send(const uint8_t* reply, size_t reply_size) {
    // The lock spans the availability check and the send, so a reply racing
    // the engine's shutdown is dropped rather than sent to a dead engine.
    FlutterDesktopMessengerRef locked = FlutterDesktopMessengerLock(messenger_);
    if (!FlutterDesktopMessengerIsAvailable(messenger_)) {
      // Dropped silently: nobody is left to answer.
    } else if (response_ == nullptr) {
      LogLine("Error: Response can be set only once. Ignoring duplicate response.");
    } else {
      FlutterDesktopMessengerSendResponse(messenger_, response_, reply, reply_size);
      response_ = nullptr;
    }
    if (locked != nullptr) FlutterDesktopMessengerUnlock(locked);
  }

 private:
  FlutterDesktopMessengerRef messenger_;
  const FlutterDesktopMessageResponseHandle* response_;
};

// The reply callable built for each incoming message; copies share one
// PendingResponse (shared_ptr's count is atomic: closures may be answered
// from any thread).
class ResponseClosure {
 public:
  explicit ResponseClosure(std::shared_ptr<PendingResponse> pending)
      : pending_(std::move(pending)) {}
  void operator()(const uint8_t* reply, size_t reply_size) { pending_->Send(reply, reply_size); }

 private:
  std::shared_ptr<PendingResponse> pending_;
};

// Called by the engine, a C frame: nothing may escape. A method channel's
// handler answers its own failures; what reaches here is reported.
void DispatchIncomingMessage(FlutterDesktopMessengerRef messenger,
                             const FlutterDesktopMessage* message, void* user_data) noexcept {
  RunAtBoundary("Exception in a channel handler: ", [&] {
    ResponseClosure closure(std::make_shared<PendingResponse>(
        FlutterDesktopMessengerAddRef(messenger), message->response_handle));
    auto* handler = static_cast<ChannelHandler*>(user_data);
    (*handler)(message->message, message->message_size, std::move(closure));
  });
}

void ReplyTrampoline(const uint8_t* data, size_t data_size, void* user_data) noexcept {
  std::unique_ptr<ReplyCallback> reply(static_cast<ReplyCallback*>(user_data));
  RunAtBoundary("Exception in a reply handler: ", [&] { (*reply)(data, data_size); });
}

}  // namespace

void BinaryMessengerImpl::Send(const std::string& channel, const uint8_t* message,
                               size_t message_size, ReplyCallback reply) const {
  if (!reply) {
    FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
    return;
  }
  auto holder = std::make_unique<ReplyCallback>(std::move(reply));
  if (FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, message_size,
                                           ReplyTrampoline, holder.get())) {
    (void)holder.release();  // ReplyTrampoline owns it now.
  }
}

void BinaryMessengerImpl::SetChannelHandler(const std::string& channel, ChannelHandler handler) {
  if (!handler) {
    handlers_.erase(channel);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
    return;
  }
  ChannelHandler& stored = handlers_[channel];
  stored = std::move(handler);
  FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), DispatchIncomingMessage, &stored);
}

}  // namespace flutter
