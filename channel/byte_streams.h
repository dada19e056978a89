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
  // A decode that has gone wrong once stays failed: every later read gives
  // zeros without consuming or reporting anything, so a malformed message
  // costs no more than its size and writes one diagnostic line.
  virtual bool Failed() const = 0;
  // Marks the stream failed without writing a line; the caller has written its own.
  virtual void Fail() = 0;
  // The next |length| bytes where they lie, consumed, when the stream can lend
  // them (a buffer in memory can); otherwise nullptr and nothing is consumed,
  // and the caller reads them with ReadBytes. Lets the codec build a value
  // straight from the message, in one call, without zero-filling it first.
  virtual const uint8_t* ReadInPlace(size_t length) {
    (void)length;
    return nullptr;
  }

  // Lists and maps open around the value being read from this stream: the
  // depth limit belongs to the one decode, not to the thread.
  int& Nesting() { return nesting_; }
  // List elements and map entries the decode may still reserve room for.
  // Every element takes a byte, so a well-formed message never needs more
  // than its own size; nested containers that each announce the whole message
  // share this one budget.
  uint64_t& ReservableElements() { return reservable_elements_; }

 private:
  int nesting_ = 0;
  uint64_t reservable_elements_ = 0;
};

class ByteStreamWriter {
 public:
  virtual ~ByteStreamWriter() = default;
  virtual void WriteByte(uint8_t byte) = 0;
  virtual void WriteBytes(const uint8_t* source, size_t length) = 0;
  virtual void PadToAlignment(uint8_t alignment) = 0;

  // Lists and maps open around the value being written to this stream.
  int& Nesting() { return nesting_; }

 private:
  int nesting_ = 0;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_BYTE_STREAMS_H_
