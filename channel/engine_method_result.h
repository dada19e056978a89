// The one-shot answer to a call that came from the engine.
#ifndef TESSARIN_CHANNEL_ENGINE_METHOD_RESULT_H_
#define TESSARIN_CHANNEL_ENGINE_METHOD_RESULT_H_

#include <memory>
#include <vector>

#include "channel/binary_messenger.h"
#include "channel/method_codec.h"
#include "channel/method_result.h"

namespace flutter {

// Delivers at most one reply; a second one, or none at all, is reported.
class PendingReply {
 public:
  explicit PendingReply(ReplyCallback reply) : reply_(std::move(reply)) {}
  ~PendingReply();
  PendingReply(const PendingReply&) = delete;
  PendingReply& operator=(const PendingReply&) = delete;

  void Deliver(const std::vector<uint8_t>* reply);
  bool Answered() const { return !reply_; }

 private:
  ReplyCallback reply_;
};

class EngineMethodResult : public MethodResult {
 public:
  // |codec| is the process-wide codec; it outlives every result.
  EngineMethodResult(ReplyCallback reply, const MethodCodec* codec)
      : pending_(std::make_shared<PendingReply>(std::move(reply))), codec_(codec) {}
  // Shares |pending| with the caller, which can still answer once the
  // result itself is gone (a handler that threw).
  EngineMethodResult(std::shared_ptr<PendingReply> pending, const MethodCodec* codec)
      : pending_(std::move(pending)), codec_(codec) {}

  void Success(const EncodableValue* result) override;
  void Error(const std::string& code, const std::string& message,
             const EncodableValue* details) override;
  void NotImplemented() override;

 private:
  std::shared_ptr<PendingReply> pending_;
  const MethodCodec* codec_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_ENGINE_METHOD_RESULT_H_
