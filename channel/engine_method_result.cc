#include "channel/engine_method_result.h"

#include "channel/diagnostics.h"

namespace flutter {

PendingReply::~PendingReply() {
  if (reply_) {
    LogLine("Warning: Failed to respond to a message. This is a memory leak.");
  }
}

void PendingReply::Deliver(const std::vector<uint8_t>* reply) {
  if (!reply_) {
    LogLine(
        "Error: Only one of Success, Error, or NotImplemented can be called,"
        " and it can be called exactly once. Ignoring duplicate result.");
    return;
  }
  const uint8_t* bytes = reply && !reply->empty() ? reply->data() : nullptr;
  const size_t size = reply ? reply->size() : 0;
  ReplyCallback once = std::move(reply_);
  reply_ = nullptr;
  once(bytes, size);
}

void EngineMethodResult::Success(const EncodableValue* result) {
  const auto bytes = codec_->EncodeSuccessReply(result);
  pending_->Deliver(bytes.get());
}

void EngineMethodResult::Error(const std::string& code, const std::string& message,
                               const EncodableValue* details) {
  const auto bytes = codec_->EncodeErrorReply(code, message, details);
  pending_->Deliver(bytes.get());
}

void EngineMethodResult::NotImplemented() { pending_->Deliver(nullptr); }

}  // namespace flutter
