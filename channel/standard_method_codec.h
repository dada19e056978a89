// The method codec over the standard message format.
#ifndef TESSARIN_CHANNEL_STANDARD_METHOD_CODEC_H_
#define TESSARIN_CHANNEL_STANDARD_METHOD_CODEC_H_

#include "channel/method_codec.h"
#include "channel/standard_codec_serializer.h"

namespace flutter {

class StandardMethodCodec : public MethodCodec {
 public:
  // One codec per serializer for the life of the process; nullptr selects the
  // standard serializer. Channels keep plain pointers to it.
  static const StandardMethodCodec& SharedInstance(
      const StandardCodecSerializer* serializer = nullptr);

  std::unique_ptr<MethodCall> DecodeCall(const uint8_t* message, size_t size) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeCall(const MethodCall& call) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeSuccessReply(
      const EncodableValue* result) const override;
  std::unique_ptr<std::vector<uint8_t>> EncodeErrorReply(
      const std::string& code, const std::string& message,
      const EncodableValue* details) const override;
  bool DecodeReply(const uint8_t* reply, size_t size, MethodResult* result) const override;

 private:
  explicit StandardMethodCodec(const StandardCodecSerializer* serializer)
      : serializer_(serializer) {}

  const StandardCodecSerializer* serializer_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_STANDARD_METHOD_CODEC_H_
