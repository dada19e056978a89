// A named channel that decodes each message into a method call for one handler.
#ifndef TESSARIN_CHANNEL_METHOD_CALL_CHANNEL_H_
#define TESSARIN_CHANNEL_METHOD_CALL_CHANNEL_H_

#include <functional>
#include <memory>
#include <string>

#include "channel/binary_messenger.h"
#include "channel/method_call.h"
#include "channel/method_codec.h"
#include "channel/method_result.h"

namespace flutter {

using CallHandler =
    std::function<void(const MethodCall& call, std::unique_ptr<MethodResult> result)>;

class MethodCallChannel {
 public:
  // Neither |messenger| nor |codec| is owned; both outlive the channel.
  MethodCallChannel(BinaryMessenger* messenger, std::string name, const MethodCodec* codec)
      : messenger_(messenger), name_(std::move(name)), codec_(codec) {}
  // Leaves its handler registered: it goes away with the messenger.
  ~MethodCallChannel() = default;
  MethodCallChannel(const MethodCallChannel&) = delete;
  MethodCallChannel& operator=(const MethodCallChannel&) = delete;

  // An empty handler removes the channel's handler.
  void SetCallHandler(CallHandler handler) const;

 private:
  BinaryMessenger* messenger_;
  std::string name_;
  const MethodCodec* codec_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_METHOD_CALL_CHANNEL_H_
