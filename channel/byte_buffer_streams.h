// In-memory byte streams: one reader over a received message, one writer per
// encoded message. Offsets count from the start of the whole message, which is
// what alignment padding is measured against.
#ifndef TESSARIN_CHANNEL_BYTE_BUFFER_STREAMS_H_
#define TESSARIN_CHANNEL_BYTE_BUFFER_STREAMS_H_

#include <cstdint>
#include <vector>

#include "channel/byte_streams.h"

namespace flutter {

class ByteBufferStreamReader : public ByteStreamReader {
 public:
  // The bytes stay owned by the caller and must outlive the reader.
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

  uint8_t ReadByte() override;
  void ReadBytes(uint8_t* destination, size_t length) override;
  void SkipToAlignment(uint8_t alignment) override;
  uint64_t Remaining() const override { return location_ < size_ ? size_ - location_ : 0; }
  bool Failed() const override { return failed_; }
  void Fail() override { failed_ = true; }

  uint64_t Location() const { return location_; }

 private:
  void FailRead();

  const uint8_t* bytes_;
  uint64_t size_;
  uint64_t location_ = 0;
  bool failed_ = false;
};

class ByteBufferStreamWriter : public ByteStreamWriter {
 public:
  // The vector stays owned by the caller and must outlive the writer.
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : buffer_(buffer) {}

  void WriteByte(uint8_t byte) override { buffer_->push_back(byte); }
  void WriteBytes(const uint8_t* source, size_t length) override;
  void PadToAlignment(uint8_t alignment) override;

 private:
  std::vector<uint8_t>* buffer_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_BYTE_BUFFER_STREAMS_H_
