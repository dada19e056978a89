// Byte stream interfaces the standard codec reads from and writes to.
#ifndef TESSARIN_CHANNEL_BYTE_STREAMS_H_
#define TESSARIN_CHANNEL_BYTE_STREAMS_H_

#include <cstddef>
#include <cstdint>

namespace flutter {

class ByteStreamReader {
 public:
  virtual ~ByteStreamReader() = default;
  virtual uint8_t ReadByte() = 0;
  virtual void ReadBytes(uint8_t* destination, size_t length) = 0;
  virtual void SkipToAlignment(uint8_t alignment) = 0;
  // Bytes left before the end, 0 once a skip has passed it. Lets the codec
  // refuse announced sizes that the message cannot hold before allocating.
  virtual uint64_t Remaining() const = 0;
};

class ByteStreamWriter {
 public:
  virtual ~ByteStreamWriter() = default;
  virtual void WriteByte(uint8_t byte) = 0;
  virtual void WriteBytes(const uint8_t* source, size_t length) = 0;
  virtual void PadToAlignment(uint8_t alignment) = 0;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_BYTE_STREAMS_H_
