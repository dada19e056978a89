#include "channel/binary_messenger_impl.h"

#include <atomic>
#include <memory>
#include <utility>

#include "channel/diagnostics.h"

namespace flutter {

namespace {

// Holds one reference to the platform messenger for as long as any reply
// closure of a message may still answer it.
class SharedMessengerHandle {
 public:
  explicit SharedMessengerHandle(FlutterDesktopMessengerRef messenger)
      : state_(std::make_shared<Holder>(messenger)) {}
  FlutterDesktopMessengerRef get() const { return state_->messenger; }

 private:
  struct Holder {
    explicit Holder(FlutterDesktopMessengerRef m) : messenger(m) {}
    ~Holder() { FlutterDesktopMessengerRelease(messenger); }
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    FlutterDesktopMessengerRef messenger;
  };
  // shared_ptr's count is atomic: closures may be answered from any thread.
  std::shared_ptr<Holder> state_;
};

// The reply callable built for each incoming message.
class ResponseClosure {
 public:
  ResponseClosure(SharedMessengerHandle messenger,
                  const FlutterDesktopMessageResponseHandle* response)
      : messenger_(std::move(messenger)), response_(response) {}

  void operator()(const uint8_t* reply, size_t reply_size) {
    // The lock spans the availability check and the send, so a reply racing
    // the engine's shutdown is dropped rather than sent to a dead engine.
    FlutterDesktopMessengerRef locked = FlutterDesktopMessengerLock(messenger_.get());
    if (!FlutterDesktopMessengerIsAvailable(messenger_.get())) {
      // Dropped silently: nobody is left to answer.
    } else if (response_ == nullptr) {
      LogLine("Error: Response can be set only once. Ignoring duplicate response.");
    } else {
      FlutterDesktopMessengerSendResponse(messenger_.get(), response_, reply, reply_size);
      response_ = nullptr;
    }
    if (locked != nullptr) FlutterDesktopMessengerUnlock(locked);
  }

 private:
  SharedMessengerHandle messenger_;
  const FlutterDesktopMessageResponseHandle* response_;
};

void DispatchIncomingMessage(FlutterDesktopMessengerRef messenger,
                             const FlutterDesktopMessage* message, void* user_data) {
  const FlutterDesktopMessageResponseHandle* response = message->response_handle;
  SharedMessengerHandle shared(FlutterDesktopMessengerAddRef(messenger));
  ResponseClosure closure(std::move(shared), response);
  auto* handler = static_cast<ChannelHandler*>(user_data);
  (*handler)(message->message, message->message_size, std::move(closure));
}

void ReplyTrampoline(const uint8_t* data, size_t data_size, void* user_data) {
  std::unique_ptr<ReplyCallback> reply(static_cast<ReplyCallback*>(user_data));
  (*reply)(data, data_size);
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
