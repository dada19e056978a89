#include "channel/standard_codec_serializer.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <typeinfo>

#include "channel/byte_buffer_streams.h"
#include "channel/diagnostics.h"

namespace flutter {

namespace {

enum WireType : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,
  kDouble = 6,
  kString = 7,
  kByteList = 8,
  kInt32List = 9,
  kInt64List = 10,
  kDoubleList = 11,
  kList = 12,
  kMap = 13,
  kFloatList = 14,
};

constexpr const char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";

// Counts one more open list or map on a stream for as long as it lives.
class NestingScope {
 public:
  explicit NestingScope(int& nesting) : nesting_(nesting) { ++nesting_; }
  ~NestingScope() { --nesting_; }
  NestingScope(const NestingScope&) = delete;
  NestingScope& operator=(const NestingScope&) = delete;

 private:
  int& nesting_;
};

// A malformed message fails its decode for good; only the first fault is reported.
template <typename Stream>
void FailDecode(Stream* stream, const std::string& line) {
  if (stream->Failed()) return;
  LogLine(line);
  stream->Fail();
}

// Reads the values of one message. Stream is either the reader interface, with
// nested values read through the serializer's virtual ReadValueOfType so that
// a derived serializer takes them over, or (kDirect) the in-memory reader
// under exactly our serializer: then every call below is direct, and each
// value is built where it will live instead of being moved there.
template <typename Stream, bool kDirect>
class ValueReader {
 public:
  ValueReader(const StandardCodecSerializer& serializer, Stream* stream)
      : serializer_(serializer), stream_(stream) {}

  void ReadNext(EncodableValue* out) {
    const uint8_t type = stream_->ReadByte();
    if constexpr (kDirect) {
      ReadOfType(type, out);
    } else {
      *out = serializer_.ReadValueOfType(type, stream_);
    }
  }

  void ReadOfType(uint8_t type, EncodableValue* out) {
    switch (type) {
      case kNull:
        out->Emplace<std::monostate>();
        return;
      case kTrue:
        out->Emplace<bool>(true);
        return;
      case kFalse:
        out->Emplace<bool>(false);
        return;
      case kInt32:
        out->Emplace<int32_t>(ReadFixed<int32_t>());
        return;
      case kInt64:
        out->Emplace<int64_t>(ReadFixed<int64_t>());
        return;
      case kDouble:
        stream_->SkipToAlignment(8);
        out->Emplace<double>(ReadFixed<double>());
        return;
      case kLargeInt:
      case kString:
        ReadString(out);
        return;
      case kByteList:
        out->Emplace<std::vector<uint8_t>>(ReadTypedList<uint8_t>());
        return;
      case kInt32List:
        out->Emplace<std::vector<int32_t>>(ReadTypedList<int32_t>());
        return;
      case kInt64List:
        out->Emplace<std::vector<int64_t>>(ReadTypedList<int64_t>());
        return;
      case kDoubleList:
        out->Emplace<std::vector<double>>(ReadTypedList<double>());
        return;
      case kFloatList:
        out->Emplace<std::vector<float>>(ReadTypedList<float>());
        return;
      case kList:
      case kMap:
        ReadContainer(type, out);
        return;
      default:
        // The payload's size is unknown, so nothing after it can be found.
        FailDecode(stream_, "Unknown type in StandardCodecSerializer::ReadValueOfType: " +
                                std::to_string(static_cast<unsigned>(type)));
        *out = EncodableValue();
        return;
    }
  }

  size_t ReadSize() {
    const uint8_t first = stream_->ReadByte();
    if (first < 254) return first;
    const size_t width = first == 254 ? 2 : 4;
    uint8_t bytes[4] = {};
    ReadInto(bytes, width);
    size_t size = 0;
    for (size_t i = 0; i < width; ++i) size |= static_cast<size_t>(bytes[i]) << (8 * i);
    return size;
  }

  template <typename T>
  std::vector<T> ReadTypedList() {
    const size_t count = ReadSize();
    if (sizeof(T) > 1) stream_->SkipToAlignment(static_cast<uint8_t>(sizeof(T)));
    // Never allocate for elements the message cannot hold.
    if (count > stream_->Remaining() / sizeof(T)) {
      FailDecode(stream_, kInvalidRead);
      return {};
    }
    std::vector<T> elements(count);
    uint8_t none = 0;
    ReadInto(count ? reinterpret_cast<uint8_t*>(elements.data()) : &none, count * sizeof(T));
    return elements;
  }

 private:
  // In one call where the stream lends its bytes, copied by ReadBytes elsewhere.
  void ReadInto(uint8_t* destination, size_t length) {
    if (const uint8_t* bytes = stream_->ReadInPlace(length)) {
      if (length > 0) std::memcpy(destination, bytes, length);
    } else {
      stream_->ReadBytes(destination, length);
    }
  }

  template <typename T>
  T ReadFixed() {
    T value{};
    ReadInto(reinterpret_cast<uint8_t*>(&value), sizeof(T));
    return value;
  }

  void ReadString(EncodableValue* out) {
    const size_t size = ReadSize();
    if (size > stream_->Remaining()) {
      FailDecode(stream_, kInvalidRead);
      out->Emplace<std::string>();
      return;
    }
    if (const uint8_t* bytes = stream_->ReadInPlace(size)) {
      out->Emplace<std::string>(reinterpret_cast<const char*>(bytes), size);
      return;
    }
    std::string& text = out->Emplace<std::string>(size, '\0');
    uint8_t none = 0;
    stream_->ReadBytes(size ? reinterpret_cast<uint8_t*>(&text[0]) : &none, size);
  }

  // Room for a list's elements or a map's entries. A few are reserved at
  // once, which is all most containers need; the rest once those few have
  // been read, from a budget that the outermost container starts over the
  // bytes left (every element takes one) and every container below draws
  // from. So a message reserves at most its own size plus a few per level,
  // and of nested containers that all announce the whole message, the
  // innermost, which really holds the elements, asks first.
  static constexpr size_t kEagerElements = 16;

  template <typename Container>
  void ReserveFor(size_t index, size_t count, Container* container) {
    if (index == 0) {
      container->reserve(std::min(count, kEagerElements));
      return;
    }
    if (index != kEagerElements) return;
    uint64_t& reservable = stream_->ReservableElements();
    const uint64_t reserved = std::min<uint64_t>(count, reservable);
    reservable -= reserved;
    container->reserve(static_cast<size_t>(reserved));
  }

  void ReadContainer(uint8_t type, EncodableValue* out) {
    // Too deep to represent: what follows cannot be placed, so the decode ends here.
    if (stream_->Nesting() >= StandardCodecSerializer::kMaxNesting) {
      FailDecode(stream_,
                 "Nesting too deep in StandardCodecSerializer::ReadValueOfType; read as null.");
      *out = EncodableValue();
      return;
    }
    NestingScope scope(stream_->Nesting());
    const size_t count = ReadSize();
    // Each element takes at least one byte (a map entry two): a count the
    // rest of the message cannot hold is refused before any work is done.
    const uint64_t bytes_per_item = type == kList ? 1 : 2;
    if (count > stream_->Remaining() / bytes_per_item) {
      FailDecode(stream_, kInvalidRead);
      if (type == kList) {
        out->Emplace<EncodableValueList>();
      } else {
        out->Emplace<EncodableValueMap>();
      }
      return;
    }
    if (stream_->Nesting() == 1) stream_->ReservableElements() = stream_->Remaining();
    // Once the stream has failed no further element is read: a list whose
    // inner list ran out of bytes must not go on "reading" its own.
    if (type == kList) {
      EncodableValueList& list = out->Emplace<EncodableValueList>();
      for (size_t i = 0; i < count && !stream_->Failed(); ++i) {
        ReserveFor(i, count, &list);
        list.emplace_back();
        ReadNext(&list.back());
      }
      return;
    }
    // A key cut short still gets its (null) value. Well-formed maps arrive
    // in ascending key order and are taken as they are; otherwise they are
    // sorted once, and of equivalent keys the earlier entry stays.
    std::vector<EncodableValueMap::value_type> entries;
    for (size_t i = 0; i < count && !stream_->Failed(); ++i) {
      ReserveFor(i, count, &entries);
      entries.emplace_back();
      ReadNext(&entries.back().first);
      if (!stream_->Failed()) ReadNext(&entries.back().second);
    }
    out->Emplace<EncodableValueMap>(EncodableValueMap::FromEntries(std::move(entries)));
  }

  const StandardCodecSerializer& serializer_;
  Stream* stream_;
};

// The two passes of a direct write into memory: the first counts the bytes a
// value takes (padding included, which depends on where it starts), the
// second writes them into room made once.
class SizeCounter {
 public:
  static constexpr bool kReports = false;  // the writing pass reports
  explicit SizeCounter(size_t start) : position_(start) {}
  void WriteByte(uint8_t) { ++position_; }
  void WriteBytes(const uint8_t*, size_t length) { position_ += length; }
  void PadToAlignment(uint8_t alignment) {
    const size_t mod = position_ % alignment;
    if (mod != 0) position_ += alignment - mod;
  }
  int& Nesting() { return nesting_; }
  size_t Position() const { return position_; }

 private:
  size_t position_;
  int nesting_ = 0;
};

class InPlaceWriter {
 public:
  static constexpr bool kReports = true;
  // |bytes| has room for everything the counting pass counted, zero-filled,
  // so padding only needs skipping.
  InPlaceWriter(uint8_t* bytes, size_t start) : bytes_(bytes), position_(start) {}
  void WriteByte(uint8_t byte) { bytes_[position_++] = byte; }
  void WriteBytes(const uint8_t* source, size_t length) {
    std::memcpy(bytes_ + position_, source, length);
    position_ += length;
  }
  void PadToAlignment(uint8_t alignment) {
    const size_t mod = position_ % alignment;
    if (mod != 0) position_ += alignment - mod;
  }
  int& Nesting() { return nesting_; }

 private:
  uint8_t* bytes_;
  size_t position_;
  int nesting_ = 0;
};

// Writes values to one message; like ValueReader, direct under exactly our
// serializer (in two passes over memory), otherwise through the interfaces.
template <typename Stream, bool kDirect>
class ValueWriter {
 public:
  ValueWriter(const StandardCodecSerializer& serializer, Stream* stream)
      : serializer_(serializer), stream_(stream) {}

  void WriteNested(const EncodableValue& value) {
    if constexpr (kDirect) {
      Write(value);
    } else {
      serializer_.WriteValue(value, stream_);
    }
  }

  void Write(const EncodableValue& value) {
    switch (value.Kind()) {
      case EncodableValue::kNull:
        stream_->WriteByte(kNull);
        return;
      case EncodableValue::kBool:
        stream_->WriteByte(value.Get<bool>() ? kTrue : kFalse);
        return;
      case EncodableValue::kInt32:
        WriteTypeAndFixed(kInt32, value.Get<int32_t>());
        return;
      case EncodableValue::kInt64:
        WriteTypeAndFixed(kInt64, value.Get<int64_t>());
        return;
      case EncodableValue::kDouble: {
        stream_->WriteByte(kDouble);
        stream_->PadToAlignment(8);
        const double number = value.Get<double>();
        stream_->WriteBytes(reinterpret_cast<const uint8_t*>(&number), sizeof(number));
        return;
      }
      case EncodableValue::kString: {
        const std::string& text = value.Get<std::string>();
        WriteTypeAndSize(kString, text.size());
        if (!text.empty()) {
          stream_->WriteBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
        }
        return;
      }
      case EncodableValue::kByteList:
        stream_->WriteByte(kByteList);
        WriteTypedList(value.Get<std::vector<uint8_t>>());
        return;
      case EncodableValue::kInt32List:
        stream_->WriteByte(kInt32List);
        WriteTypedList(value.Get<std::vector<int32_t>>());
        return;
      case EncodableValue::kInt64List:
        stream_->WriteByte(kInt64List);
        WriteTypedList(value.Get<std::vector<int64_t>>());
        return;
      case EncodableValue::kDoubleList:
        stream_->WriteByte(kDoubleList);
        WriteTypedList(value.Get<std::vector<double>>());
        return;
      case EncodableValue::kFloatList:
        stream_->WriteByte(kFloatList);
        WriteTypedList(value.Get<std::vector<float>>());
        return;
      case EncodableValue::kList:
      case EncodableValue::kMap: {
        if (stream_->Nesting() >= StandardCodecSerializer::kMaxNesting) {
          Report("Nesting too deep in StandardCodecSerializer::WriteValue; written as null.");
          stream_->WriteByte(kNull);
          return;
        }
        NestingScope scope(stream_->Nesting());
        if (value.Kind() == EncodableValue::kList) {
          const auto& list = value.Get<EncodableValueList>();
          WriteTypeAndSize(kList, list.size());
          for (const EncodableValue& element : list) WriteNested(element);
        } else {
          const auto& map = value.Get<EncodableValueMap>();
          WriteTypeAndSize(kMap, map.size());
          for (const auto& entry : map) {
            WriteNested(entry.first);
            WriteNested(entry.second);
          }
        }
        return;
      }
      case EncodableValue::kCustom:
      default:
        stream_->WriteByte(kNull);
        Report(
            "Unhandled custom type in StandardCodecSerializer::WriteValue. "
            "Custom types require codec extensions.");
        return;
    }
  }

  void WriteSize(size_t size) {
    uint8_t bytes[5];
    stream_->WriteBytes(bytes, SizeBytes(size, bytes));
  }

  template <typename T>
  void WriteTypedList(const std::vector<T>& elements) {
    WriteSize(elements.size());
    // Pad even an empty list: the reader (ours and the peer's) skips to the
    // alignment after every typed-list size, so an unpadded empty list would
    // shift everything that follows it.
    if (sizeof(T) > 1) stream_->PadToAlignment(static_cast<uint8_t>(sizeof(T)));
    if (elements.empty()) return;
    stream_->WriteBytes(reinterpret_cast<const uint8_t*>(elements.data()),
                        elements.size() * sizeof(T));
  }

 private:
  // Once per value written, not once per pass.
  void Report(const char* line) {
    if constexpr (kDirect) {
      if (!Stream::kReports) return;
    }
    LogLine(line);
  }

  // The size prefix: one byte below 254, else a marker and 2 or 4 bytes, little-endian.
  static size_t SizeBytes(size_t size, uint8_t* bytes) {
    if (size < 254) {
      bytes[0] = static_cast<uint8_t>(size);
      return 1;
    }
    const size_t width = size <= 0xFFFF ? 2 : 4;
    bytes[0] = width == 2 ? 254 : 255;
    for (size_t i = 0; i < width; ++i) bytes[1 + i] = static_cast<uint8_t>(size >> (8 * i));
    return 1 + width;
  }

  // The type byte and what follows it, gathered into one write.
  template <typename T>
  void WriteTypeAndFixed(uint8_t type, T value) {
    uint8_t bytes[1 + sizeof(T)];
    bytes[0] = type;
    std::memcpy(bytes + 1, &value, sizeof(T));
    stream_->WriteBytes(bytes, sizeof(bytes));
  }

  void WriteTypeAndSize(uint8_t type, size_t size) {
    uint8_t bytes[6];
    bytes[0] = type;
    stream_->WriteBytes(bytes, 1 + SizeBytes(size, bytes + 1));
  }

  const StandardCodecSerializer& serializer_;
  Stream* stream_;
};

// Our own serializer over a buffer in memory can take the direct paths; a
// derived serializer must see every nested value through its overrides.
bool IsExactlyStandard(const StandardCodecSerializer& serializer) {
  return typeid(serializer) == typeid(StandardCodecSerializer);
}

}  // namespace

const StandardCodecSerializer& StandardCodecSerializer::SharedInstance() {
  static const StandardCodecSerializer instance;
  return instance;
}

EncodableValue StandardCodecSerializer::ReadNextValue(ByteStreamReader* stream) const {
  if (IsExactlyStandard(*this)) {
    if (auto* buffer = dynamic_cast<ByteBufferStreamReader*>(stream)) {
      EncodableValue value;
      ValueReader<ByteBufferStreamReader, true>(*this, buffer).ReadNext(&value);
      return value;
    }
  }
  const uint8_t type = stream->ReadByte();
  return ReadValueOfType(type, stream);
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  EncodableValue value;
  auto* buffer = IsExactlyStandard(*this) ? dynamic_cast<ByteBufferStreamReader*>(stream) : nullptr;
  if (buffer != nullptr) {
    ValueReader<ByteBufferStreamReader, true>(*this, buffer).ReadOfType(type, &value);
  } else {
    ValueReader<ByteStreamReader, false>(*this, stream).ReadOfType(type, &value);
  }
  return value;
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  auto* buffer = IsExactlyStandard(*this) ? dynamic_cast<ByteBufferStreamWriter*>(stream) : nullptr;
  if (buffer != nullptr) {
    std::vector<uint8_t>& bytes = *buffer->Buffer();
    const size_t start = bytes.size();
    SizeCounter counter(start);
    ValueWriter<SizeCounter, true>(*this, &counter).Write(value);
    bytes.resize(counter.Position());
    InPlaceWriter writer(bytes.data(), start);
    ValueWriter<InPlaceWriter, true>(*this, &writer).Write(value);
  } else {
    ValueWriter<ByteStreamWriter, false>(*this, stream).Write(value);
  }
}

void StandardCodecSerializer::WriteSizePrefix(size_t size, ByteStreamWriter* stream) const {
  ValueWriter<ByteStreamWriter, false>(*this, stream).WriteSize(size);
}

size_t StandardCodecSerializer::ReadSizePrefix(ByteStreamReader* stream) const {
  return ValueReader<ByteStreamReader, false>(*this, stream).ReadSize();
}

template <typename T>
void StandardCodecSerializer::WriteTypedList(const std::vector<T>& elements,
                                             ByteStreamWriter* stream) const {
  ValueWriter<ByteStreamWriter, false>(*this, stream).WriteTypedList(elements);
}

template <typename T>
std::vector<T> StandardCodecSerializer::ReadTypedList(ByteStreamReader* stream) const {
  return ValueReader<ByteStreamReader, false>(*this, stream).template ReadTypedList<T>();
}

}  // namespace flutter
