// Turns method calls and their replies into bytes and back.
#ifndef TESSARIN_CHANNEL_METHOD_CODEC_H_
#define TESSARIN_CHANNEL_METHOD_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "channel/encodable_value.h"
#include "channel/method_call.h"
#include "channel/method_result.h"

namespace flutter {

class MethodCodec {
 public:
  MethodCodec() = default;
  virtual ~MethodCodec() = default;
  MethodCodec(const MethodCodec&) = delete;
  MethodCodec& operator=(const MethodCodec&) = delete;

  // nullptr when the message is not a method call.
  virtual std::unique_ptr<MethodCall> DecodeCall(const uint8_t* message, size_t size) const = 0;
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeCall(const MethodCall& call) const = 0;
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeSuccessReply(
      const EncodableValue* result) const = 0;
  virtual std::unique_ptr<std::vector<uint8_t>> EncodeErrorReply(
      const std::string& code, const std::string& message, const EncodableValue* details) const = 0;
  // False, without touching |result|, when the envelope is not recognised.
  virtual bool DecodeReply(const uint8_t* reply, size_t size, MethodResult* result) const = 0;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_METHOD_CODEC_H_
