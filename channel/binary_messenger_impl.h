// The messenger over the engine's platform messenger.
#ifndef TESSARIN_CHANNEL_BINARY_MESSENGER_IMPL_H_
#define TESSARIN_CHANNEL_BINARY_MESSENGER_IMPL_H_

#include <map>
#include <string>

#include "channel/binary_messenger.h"
#include "engine_api/flutter_windows.h"

namespace flutter {

class BinaryMessengerImpl : public BinaryMessenger {
 public:
  // |messenger| is not owned and never released here.
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef messenger) : messenger_(messenger) {}
  // Frees the handler table without unregistering: the engine is gone first.
  ~BinaryMessengerImpl() override = default;

  void Send(const std::string& channel, const uint8_t* message, size_t message_size,
            ReplyCallback reply) const override;
  void SetChannelHandler(const std::string& channel, ChannelHandler handler) override;

 private:
  FlutterDesktopMessengerRef messenger_;
  // Node-based: the platform holds the address of each stored handler.
  std::map<std::string, ChannelHandler> handlers_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_BINARY_MESSENGER_IMPL_H_
