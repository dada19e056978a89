// Raw bytes per named channel.
#ifndef TESSARIN_CHANNEL_BINARY_MESSENGER_H_
#define TESSARIN_CHANNEL_BINARY_MESSENGER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace flutter {

// Reply bytes (or nullptr) and their count; the bytes live only for the call.
using ReplyCallback = std::function<void(const uint8_t* reply, size_t reply_size)>;
// Message bytes, their count, and the one way to answer them.
using ChannelHandler =
    std::function<void(const uint8_t* message, size_t message_size, ReplyCallback reply)>;

class BinaryMessenger {
 public:
  BinaryMessenger() = default;
  virtual ~BinaryMessenger() = default;
  BinaryMessenger(const BinaryMessenger&) = delete;
  BinaryMessenger& operator=(const BinaryMessenger&) = delete;

  virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                    ReplyCallback reply) const = 0;
  // An empty handler removes the channel's handler.
  virtual void SetChannelHandler(const std::string& channel, ChannelHandler handler) = 0;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_BINARY_MESSENGER_H_
