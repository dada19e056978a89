#include "channel/standard_codec_serializer.h"

#include <algorithm>
#include <cstring>
#include <string>

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
void FailDecode(ByteStreamReader* stream, const std::string& line) {
  if (stream->Failed()) return;
  LogLine(line);
  stream->Fail();
}

// Little-endian regardless of the host, byte by byte.
template <typename T>
void WriteLittleEndian(T value, size_t width, ByteStreamWriter* stream) {
  uint8_t bytes[8];
  for (size_t i = 0; i < width; ++i) bytes[i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
  stream->WriteBytes(bytes, width);
}

uint64_t ReadLittleEndian(size_t width, ByteStreamReader* stream) {
  uint8_t bytes[8] = {};
  stream->ReadBytes(bytes, width);
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value |= static_cast<uint64_t>(bytes[i]) << (8 * i);
  return value;
}

template <typename T>
T ReadFixed(ByteStreamReader* stream) {
  T value{};
  stream->ReadBytes(reinterpret_cast<uint8_t*>(&value), sizeof(T));
  return value;
}

template <typename T>
void WriteFixed(T value, ByteStreamWriter* stream) {
  stream->WriteBytes(reinterpret_cast<const uint8_t*>(&value), sizeof(T));
}

}  // namespace

const StandardCodecSerializer& StandardCodecSerializer::SharedInstance() {
  static const StandardCodecSerializer instance;
  return instance;
}

EncodableValue StandardCodecSerializer::ReadNextValue(ByteStreamReader* stream) const {
  const uint8_t type = stream->ReadByte();
  return ReadValueOfType(type, stream);
}

void StandardCodecSerializer::WriteSizePrefix(size_t size, ByteStreamWriter* stream) const {
  if (size < 254) {
    stream->WriteByte(static_cast<uint8_t>(size));
  } else if (size <= 0xFFFF) {
    stream->WriteByte(254);
    WriteLittleEndian<uint64_t>(size, 2, stream);
  } else {
    stream->WriteByte(255);
    WriteLittleEndian<uint64_t>(size, 4, stream);
  }
}

size_t StandardCodecSerializer::ReadSizePrefix(ByteStreamReader* stream) const {
  const uint8_t first = stream->ReadByte();
  if (first < 254) return first;
  return static_cast<size_t>(ReadLittleEndian(first == 254 ? 2 : 4, stream));
}

template <typename T>
void StandardCodecSerializer::WriteTypedList(const std::vector<T>& elements,
                                             ByteStreamWriter* stream) const {
  WriteSizePrefix(elements.size(), stream);
  // Pad even an empty list: the reader (ours and the peer's) skips to the
  // alignment after every typed-list size, so an unpadded empty list would
  // shift everything that follows it.
  if (sizeof(T) > 1) stream->PadToAlignment(static_cast<uint8_t>(sizeof(T)));
  if (elements.empty()) return;
  stream->WriteBytes(reinterpret_cast<const uint8_t*>(elements.data()),
                     elements.size() * sizeof(T));
}

template <typename T>
std::vector<T> StandardCodecSerializer::ReadTypedList(ByteStreamReader* stream) const {
  const size_t count = ReadSizePrefix(stream);
  if (sizeof(T) > 1) stream->SkipToAlignment(static_cast<uint8_t>(sizeof(T)));
  // Never allocate for elements the message cannot hold.
  if (count > stream->Remaining() / sizeof(T)) {
    FailDecode(stream, kInvalidRead);
    return {};
  }
  std::vector<T> elements(count);
  uint8_t none = 0;
  stream->ReadBytes(count ? reinterpret_cast<uint8_t*>(elements.data()) : &none, count * sizeof(T));
  return elements;
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
  switch (value.Kind()) {
    case EncodableValue::kNull:
      stream->WriteByte(kNull);
      return;
    case EncodableValue::kBool:
      stream->WriteByte(value.Get<bool>() ? kTrue : kFalse);
      return;
    case EncodableValue::kInt32:
      stream->WriteByte(kInt32);
      WriteFixed(value.Get<int32_t>(), stream);
      return;
    case EncodableValue::kInt64:
      stream->WriteByte(kInt64);
      WriteFixed(value.Get<int64_t>(), stream);
      return;
    case EncodableValue::kDouble:
      stream->WriteByte(kDouble);
      stream->PadToAlignment(8);
      WriteFixed(value.Get<double>(), stream);
      return;
    case EncodableValue::kString: {
      stream->WriteByte(kString);
      const std::string& text = value.Get<std::string>();
      WriteSizePrefix(text.size(), stream);
      if (!text.empty()) {
        stream->WriteBytes(reinterpret_cast<const uint8_t*>(text.data()), text.size());
      }
      return;
    }
    case EncodableValue::kByteList:
      stream->WriteByte(kByteList);
      WriteTypedList(value.Get<std::vector<uint8_t>>(), stream);
      return;
    case EncodableValue::kInt32List:
      stream->WriteByte(kInt32List);
      WriteTypedList(value.Get<std::vector<int32_t>>(), stream);
      return;
    case EncodableValue::kInt64List:
      stream->WriteByte(kInt64List);
      WriteTypedList(value.Get<std::vector<int64_t>>(), stream);
      return;
    case EncodableValue::kDoubleList:
      stream->WriteByte(kDoubleList);
      WriteTypedList(value.Get<std::vector<double>>(), stream);
      return;
    case EncodableValue::kFloatList:
      stream->WriteByte(kFloatList);
      WriteTypedList(value.Get<std::vector<float>>(), stream);
      return;
    case EncodableValue::kList:
    case EncodableValue::kMap: {
      if (stream->Nesting() >= kMaxNesting) {
        LogLine("Nesting too deep in StandardCodecSerializer::WriteValue; written as null.");
        stream->WriteByte(kNull);
        return;
      }
      NestingScope scope(stream->Nesting());
      if (value.Kind() == EncodableValue::kList) {
        const auto& list = value.Get<EncodableValueList>();
        stream->WriteByte(kList);
        WriteSizePrefix(list.size(), stream);
        for (const EncodableValue& element : list) WriteValue(element, stream);
      } else {
        const auto& map = value.Get<EncodableValueMap>();
        stream->WriteByte(kMap);
        WriteSizePrefix(map.size(), stream);
        for (const auto& entry : map) {
          WriteValue(entry.first, stream);
          WriteValue(entry.second, stream);
        }
      }
      return;
    }
    case EncodableValue::kCustom:
    default:
      stream->WriteByte(kNull);
      LogLine(
          "Unhandled custom type in StandardCodecSerializer::WriteValue. "
          "Custom types require codec extensions.");
      return;
  }
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
  switch (type) {
    case kNull:
      return EncodableValue();
    case kTrue:
      return EncodableValue(true);
    case kFalse:
      return EncodableValue(false);
    case kInt32:
      return EncodableValue(ReadFixed<int32_t>(stream));
    case kInt64:
      return EncodableValue(ReadFixed<int64_t>(stream));
    case kDouble:
      stream->SkipToAlignment(8);
      return EncodableValue(ReadFixed<double>(stream));
    case kLargeInt:
    case kString: {
      const size_t size = ReadSizePrefix(stream);
      if (size > stream->Remaining()) {
        FailDecode(stream, kInvalidRead);
        return EncodableValue(std::string());
      }
      std::string text(size, '\0');
      uint8_t none = 0;
      stream->ReadBytes(size ? reinterpret_cast<uint8_t*>(&text[0]) : &none, size);
      return EncodableValue(std::move(text));
    }
    case kByteList:
      return EncodableValue(ReadTypedList<uint8_t>(stream));
    case kInt32List:
      return EncodableValue(ReadTypedList<int32_t>(stream));
    case kInt64List:
      return EncodableValue(ReadTypedList<int64_t>(stream));
    case kDoubleList:
      return EncodableValue(ReadTypedList<double>(stream));
    case kFloatList:
      return EncodableValue(ReadTypedList<float>(stream));
    case kList:
    case kMap: {
      // Too deep to represent: what follows cannot be placed, so the decode ends here.
      if (stream->Nesting() >= kMaxNesting) {
        FailDecode(stream,
                   "Nesting too deep in StandardCodecSerializer::ReadValueOfType; read as null.");
        return EncodableValue();
      }
      NestingScope scope(stream->Nesting());
      const size_t count = ReadSizePrefix(stream);
      // Each element takes at least one byte (a map entry two): a count the
      // rest of the message cannot hold is refused before any work is done.
      const uint64_t bytes_per_item = type == kList ? 1 : 2;
      if (count > stream->Remaining() / bytes_per_item) {
        FailDecode(stream, kInvalidRead);
        return type == kList ? EncodableValue(EncodableValueList())
                             : EncodableValue(EncodableValueMap());
      }
      // Once the stream has failed no further element is read: a list whose
      // inner list ran out of bytes must not go on "reading" its own.
      if (type == kList) {
        // The outermost list starts the budget over the bytes left; every
        // list below draws from it, so a message reserves at most its size.
        // A list reserves once its first element is read: of nested lists
        // that all announce the whole message, the innermost, which really
        // holds the elements, asks first.
        uint64_t& reservable = stream->ReservableElements();
        if (stream->Nesting() == 1) reservable = stream->Remaining();
        EncodableValueList list;
        for (size_t i = 0; i < count && !stream->Failed(); ++i) {
          EncodableValue element = ReadNextValue(stream);
          if (i == 0 && !stream->Failed()) {
            const uint64_t reserved = std::min<uint64_t>(count, reservable);
            reservable -= reserved;
            list.reserve(static_cast<size_t>(reserved));
          }
          list.push_back(std::move(element));
        }
        return EncodableValue(std::move(list));
      }
      // Well-formed maps arrive in ascending key order, so hinting the end
      // makes each insert one comparison; an equivalent key still keeps the
      // earlier entry. A key cut short still gets its (null) value.
      EncodableValueMap map;
      for (size_t i = 0; i < count && !stream->Failed(); ++i) {
        EncodableValue key = ReadNextValue(stream);
        EncodableValue entry = stream->Failed() ? EncodableValue() : ReadNextValue(stream);
        map.emplace_hint(map.end(), std::move(key), std::move(entry));
      }
      return EncodableValue(std::move(map));
    }
    default:
      // The payload's size is unknown, so nothing after it can be found.
      FailDecode(stream, "Unknown type in StandardCodecSerializer::ReadValueOfType: " +
                             std::to_string(static_cast<unsigned>(type)));
      return EncodableValue();
  }
}

}  // namespace flutter
