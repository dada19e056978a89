#include "channel/byte_buffer_streams.h"

#include <cstring>

#include "channel/diagnostics.h"

namespace flutter {

namespace {
constexpr const char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";
}

// The first read past the end is reported; after that the stream is failed
// and stays silent.
void ByteBufferStreamReader::FailRead() {
  if (!failed_) LogLine(kInvalidRead);
  failed_ = true;
}

uint8_t ByteBufferStreamReader::ReadByte() {
  if (failed_ || location_ >= size_) {
    FailRead();
    return 0;
  }
  return bytes_[location_++];
}

void ByteBufferStreamReader::ReadBytes(uint8_t* destination, size_t length) {
  // Written so that neither side can overflow: location may already be past size.
  if (failed_ || location_ > size_ || length > size_ - location_) {
    FailRead();
    return;
  }
  if (length > 0) std::memcpy(destination, bytes_ + location_, length);
  location_ += length;
}

void ByteBufferStreamReader::SkipToAlignment(uint8_t alignment) {
  if (alignment == 0) return;
  const uint64_t mod = location_ % alignment;
  if (mod != 0) location_ += alignment - mod;
}

void ByteBufferStreamWriter::WriteBytes(const uint8_t* source, size_t length) {
  if (length == 0) return;
  buffer_->insert(buffer_->end(), source, source + length);
}

void ByteBufferStreamWriter::PadToAlignment(uint8_t alignment) {
  if (alignment == 0) return;
  const size_t mod = buffer_->size() % alignment;
  if (mod != 0) buffer_->resize(buffer_->size() + (alignment - mod), 0);
}

}  // namespace flutter
