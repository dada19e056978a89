// Writes and reads one EncodableValue at a time in the standard message format.
#ifndef TESSARIN_CHANNEL_STANDARD_CODEC_SERIALIZER_H_
#define TESSARIN_CHANNEL_STANDARD_CODEC_SERIALIZER_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "channel/byte_streams.h"
#include "channel/encodable_value.h"

namespace flutter {

class StandardCodecSerializer {
 public:
  // Lists and maps nested deeper than this are refused, in both directions,
  // so a hostile message cannot exhaust the stack.
  static constexpr int kMaxNesting = 128;

  StandardCodecSerializer() = default;
  virtual ~StandardCodecSerializer() = default;
  StandardCodecSerializer(const StandardCodecSerializer&) = delete;
  StandardCodecSerializer& operator=(const StandardCodecSerializer&) = delete;

  static const StandardCodecSerializer& SharedInstance();

  virtual void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const;
  // Reads the payload of a value whose type byte was already consumed.
  virtual EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const;

  EncodableValue ReadNextValue(ByteStreamReader* stream) const;

  void WriteSizePrefix(size_t size, ByteStreamWriter* stream) const;
  size_t ReadSizePrefix(ByteStreamReader* stream) const;

  template <typename T>
  void WriteTypedList(const std::vector<T>& elements, ByteStreamWriter* stream) const;
  template <typename T>
  std::vector<T> ReadTypedList(ByteStreamReader* stream) const;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_STANDARD_CODEC_SERIALIZER_H_
