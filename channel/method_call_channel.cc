#include "channel/method_call_channel.h"

#include <utility>

#include "channel/diagnostics.h"
#include "channel/engine_method_result.h"

namespace flutter {

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
        auto result = std::make_unique<EngineMethodResult>(std::move(reply), codec);
        std::unique_ptr<MethodCall> call = codec->DecodeCall(message, message_size);
        if (!call) {
          LogLine("Unable to construct method call from message on channel " + name);
          result->NotImplemented();
          return;
        }
        handler(*call, std::move(result));
      });
}

}  // namespace flutter
