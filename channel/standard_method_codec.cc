#include "channel/standard_method_codec.h"

#include <map>
#include <utility>

#include "channel/byte_buffer_streams.h"
#include "channel/diagnostics.h"

namespace flutter {

const StandardMethodCodec& StandardMethodCodec::SharedInstance(
    const StandardCodecSerializer* serializer) {
  if (serializer == nullptr) serializer = &StandardCodecSerializer::SharedInstance();
  // Never destroyed: channels and pending results may point at a codec until
  // the very end of the process.
  static auto* registry =
      new std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMethodCodec>>();
  auto found = registry->find(serializer);
  if (found == registry->end()) {
    found = registry
                ->emplace(serializer,
                          std::unique_ptr<StandardMethodCodec>(new StandardMethodCodec(serializer)))
                .first;
  }
  return *found->second;
}

std::unique_ptr<MethodCall> StandardMethodCodec::DecodeCall(const uint8_t* message,
                                                            size_t size) const {
  ByteBufferStreamReader reader(message, size);
  EncodableValue name = serializer_->ReadNextValue(&reader);
  const std::string* method_name = name.TryGet<std::string>();
  if (method_name == nullptr) {
    LogLine("Invalid method call; method name is not a string.");
    return nullptr;
  }
  auto arguments = std::make_unique<EncodableValue>(serializer_->ReadNextValue(&reader));
  // A cut or padded message is not the call it looks like: acting on what
  // was read of it would act on values the sender never sent.
  if (reader.Failed()) return nullptr;
  if (reader.Remaining() != 0) {
    LogLine("Invalid method call; bytes remain after the arguments.");
    return nullptr;
  }
  return std::make_unique<MethodCall>(*method_name, std::move(arguments));
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeCall(
    const MethodCall& call) const {
  auto bytes = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter writer(bytes.get());
  serializer_->WriteValue(EncodableValue(call.MethodName()), &writer);
  serializer_->WriteValue(call.Arguments() ? *call.Arguments() : EncodableValue(), &writer);
  return bytes;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeSuccessReply(
    const EncodableValue* result) const {
  auto bytes = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter writer(bytes.get());
  writer.WriteByte(0);
  serializer_->WriteValue(result ? *result : EncodableValue(), &writer);
  return bytes;
}

std::unique_ptr<std::vector<uint8_t>> StandardMethodCodec::EncodeErrorReply(
    const std::string& code, const std::string& message, const EncodableValue* details) const {
  auto bytes = std::make_unique<std::vector<uint8_t>>();
  ByteBufferStreamWriter writer(bytes.get());
  writer.WriteByte(1);
  serializer_->WriteValue(EncodableValue(code), &writer);
  serializer_->WriteValue(message.empty() ? EncodableValue() : EncodableValue(message), &writer);
  serializer_->WriteValue(details ? *details : EncodableValue(), &writer);
  return bytes;
}

bool StandardMethodCodec::DecodeReply(const uint8_t* reply, size_t size,
                                      MethodResult* result) const {
  ByteBufferStreamReader reader(reply, size);
  const uint8_t envelope = reader.ReadByte();
  if (envelope == 0) {
    EncodableValue value = serializer_->ReadNextValue(&reader);
    result->Success(value.IsNull() ? nullptr : &value);
    return true;
  }
  if (envelope == 1) {
    EncodableValue code = serializer_->ReadNextValue(&reader);
    EncodableValue message = serializer_->ReadNextValue(&reader);
    EncodableValue details = serializer_->ReadNextValue(&reader);
    const std::string message_text = message.IsNull() ? std::string() : message.Get<std::string>();
    const std::string& code_text = code.Get<std::string>();
    result->Error(code_text, message_text, details.IsNull() ? nullptr : &details);
    return true;
  }
  return false;
}

}  // namespace flutter
