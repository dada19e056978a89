// In-memory byte streams: one reader over a received message, one writer per
// encoded message. Offsets count from the start of the whole message, which is
// what alignment padding is measured against.
//
// Both are final and defined here so that the codec, when it knows it has one
// of them, reaches every byte through inline code rather than a virtual call.
#ifndef TESSARIN_CHANNEL_BYTE_BUFFER_STREAMS_H_
#define TESSARIN_CHANNEL_BYTE_BUFFER_STREAMS_H_

#include <cstdint>
#include <cstring>
#include <vector>

#include "channel/byte_streams.h"

namespace flutter {

class ByteBufferStreamReader final : public ByteStreamReader {
 public:
  // The bytes stay owned by the caller and must outlive the reader.
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

  uint8_t ReadByte() override {
    if (failed_ || location_ >= size_) {
      FailRead();
      return 0;
    }
    return bytes_[location_++];
  }

  void ReadBytes(uint8_t* destination, size_t length) override {
    // Written so that neither side can overflow: location may already be past size.
    if (failed_ || location_ > size_ || length > size_ - location_) {
      FailRead();
      return;
    }
    if (length > 0) std::memcpy(destination, bytes_ + location_, length);
    location_ += length;
  }

  const uint8_t* ReadInPlace(size_t length) override {
    // Short of bytes: the caller's ReadBytes reports it.
    if (failed_ || location_ > size_ || length > size_ - location_) return nullptr;
    const uint8_t* start = bytes_ + location_;
    location_ += length;
    return start;
  }

  void SkipToAlignment(uint8_t alignment) override {
    if (alignment == 0) return;
    const uint64_t mod = location_ % alignment;
    if (mod != 0) location_ += alignment - mod;
  }

  uint64_t Remaining() const override { return location_ < size_ ? size_ - location_ : 0; }
  bool Failed() const override { return failed_; }
  void Fail() override { failed_ = true; }

  uint64_t Location() const { return location_; }

 private:
  // The first read past the end is reported; after that the stream is failed
  // and stays silent.
  void FailRead();

  const uint8_t* bytes_;
  uint64_t size_;
  uint64_t location_ = 0;
  bool failed_ = false;
};

class ByteBufferStreamWriter final : public ByteStreamWriter {
 public:
  // The vector stays owned by the caller and must outlive the writer.
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : buffer_(buffer) {}

  void WriteByte(uint8_t byte) override { buffer_->push_back(byte); }

  void WriteBytes(const uint8_t* source, size_t length) override {
    buffer_->insert(buffer_->end(), source, source + length);
  }

  void PadToAlignment(uint8_t alignment) override {
    if (alignment == 0) return;
    const size_t mod = buffer_->size() % alignment;
    if (mod != 0) buffer_->resize(buffer_->size() + (alignment - mod), 0);
  }

  // The vector written to: the codec sizes a whole value first and then
  // writes it in place, instead of growing the vector byte by byte.
  std::vector<uint8_t>* Buffer() const { return buffer_; }

 private:
  std::vector<uint8_t>* buffer_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_BYTE_BUFFER_STREAMS_H_
