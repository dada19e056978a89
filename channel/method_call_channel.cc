#include "channel/method_call_channel.h"

#include <memory>
#include <utility>

#include "channel/diagnostics.h"
#include "channel/engine_method_result.h"

namespace flutter {

namespace {

// A handler that threw (already reported): the call is answered with an
// error if the handler had not answered it yet, so the caller never waits.
void AnswerFailedHandler(PendingReply& pending, const MethodCodec& codec) noexcept {
  if (pending.Answered()) return;
  try {
    const auto bytes =
        codec.EncodeErrorReply("INTERNAL_ERROR", "The native handler failed.", nullptr);
    pending.Deliver(bytes.get());
  } catch (...) {
    pending.Deliver(nullptr);  // no memory even for the error: the empty reply
  }
}

}  // namespace

void MethodCallChannel::SetCallHandler(CallHandler handler) const {
  if (!handler) {
    messenger_->SetChannelHandler(name_, nullptr);
    return;
  }
  const MethodCodec* codec = codec_;
  std::string name = name_;
  // The CallDecodingHandler: owns copies of what it needs, never the channel.
  messenger_->SetChannelHandler(
      name_, [handler = std::move(handler), codec, name = std::move(name)](
                 const uint8_t* message, size_t message_size, ReplyCallback reply) {
        // All of it inside the boundary, the decoding and the result too.
        std::shared_ptr<PendingReply> pending;
        const bool handled = RunAtBoundary("Exception in a method call handler: ", [&] {
          pending = std::make_shared<PendingReply>(std::move(reply));
          auto result = std::make_unique<EngineMethodResult>(pending, codec);
          std::unique_ptr<MethodCall> call = codec->DecodeCall(message, message_size);
          if (!call) {
            LogLine("Unable to construct method call from message on channel " + name);
            result->NotImplemented();
            return;
          }
          handler(*call, std::move(result));
        });
        if (handled) return;
        if (pending) {
          AnswerFailedHandler(*pending, *codec);
        } else if (reply) {
          reply(nullptr, 0);  // not even the pending reply could be made: the empty one
        }
      });
}

}  // namespace flutter
