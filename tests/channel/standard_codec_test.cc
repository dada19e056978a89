#include "channel/standard_codec_serializer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bytes.h"

namespace flutter {
namespace {

using tessarin_test::Decode;
using tessarin_test::Encode;
using tessarin_test::FromHex;
using tessarin_test::kInvalidReadLine;
using tessarin_test::ToHex;

std::string SizePrefixHex(size_t size) {
  std::vector<uint8_t> bytes;
  ByteBufferStreamWriter writer(&bytes);
  StandardCodecSerializer::SharedInstance().WriteSizePrefix(size, &writer);
  return ToHex(bytes);
}

TEST(StandardCodecTest, SizePrefixForms) {
  EXPECT_EQ(SizePrefixHex(253), "FD");
  EXPECT_EQ(SizePrefixHex(254), "FE FE 00");
  EXPECT_EQ(SizePrefixHex(65535), "FE FF FF");
  EXPECT_EQ(SizePrefixHex(65536), "FF 00 00 01 00");
  // A longer form than needed is accepted.
  auto bytes = FromHex("FE 03 00");
  ByteBufferStreamReader reader(bytes.data(), bytes.size());
  EXPECT_EQ(StandardCodecSerializer::SharedInstance().ReadSizePrefix(&reader), 3u);
}

TEST(StandardCodecTest, ScalarsAndStrings) {
  EXPECT_EQ(ToHex(Encode(EncodableValue(5))), "03 05 00 00 00");
  EXPECT_EQ(ToHex(Encode(EncodableValue(int64_t{-1}))), "04 FF FF FF FF FF FF FF FF");
  EXPECT_EQ(ToHex(Encode(EncodableValue("port"))), "07 04 70 6F 72 74");
  EXPECT_EQ(ToHex(Encode(EncodableValue(""))), "07 00");
  EXPECT_EQ(ToHex(Encode(EncodableValue(true))), "01");
  EXPECT_EQ(ToHex(Encode(EncodableValue(false))), "02");
  EXPECT_EQ(ToHex(Encode(EncodableValue(1.0))), "06 00 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F");
}

TEST(StandardCodecTest, ContainersAndPadding) {
  EncodableValueMap map{{EncodableValue("port"), EncodableValue(true)}};
  EXPECT_EQ(ToHex(Encode(EncodableValue(map))), "0D 01 07 04 70 6F 72 74 01");
  EncodableValueList list{EncodableValue(1), EncodableValue()};
  EXPECT_EQ(ToHex(Encode(EncodableValue(list))), "0C 02 03 01 00 00 00 00");
  EXPECT_EQ(ToHex(Encode(EncodableValue(std::vector<int32_t>{1}))), "09 01 00 00 01 00 00 00");
  // An empty typed list is padded too, exactly as the reader skips.
  EXPECT_EQ(ToHex(Encode(EncodableValue(std::vector<int32_t>{}))), "09 00 00 00");
  EXPECT_EQ(ToHex(Encode(EncodableValue(std::vector<double>{}))), "0B 00 00 00 00 00 00 00");
  EncodableValueList after_empty{EncodableValue(std::vector<int64_t>{}), EncodableValue(5)};
  auto bytes = Encode(EncodableValue(after_empty));
  EXPECT_EQ(ToHex(bytes), "0C 02 0A 00 00 00 00 00 03 05 00 00 00");
  EXPECT_EQ(Decode(bytes).value, EncodableValue(after_empty));
  EXPECT_EQ(ToHex(Encode(EncodableValue(std::vector<uint8_t>{7, 8}))), "08 02 07 08");
  EXPECT_EQ(ToHex(Encode(EncodableValue(std::vector<float>{1.0f}))), "0E 01 00 00 00 00 80 3F");
  // Padding counts from the message start: the double inside the list lands at offset 8.
  EncodableValueList nested{EncodableValue(2.0)};
  EXPECT_EQ(ToHex(Encode(EncodableValue(nested))),
            "0C 01 06 00 00 00 00 00 00 00 00 00 00 00 00 40");
  // Map entries go out in key order, whatever the insertion order.
  EncodableValueMap ordered;
  ordered[EncodableValue("b")] =
      EncodableValue(EncodableValueMap{{EncodableValue(2), EncodableValue()}});
  ordered[EncodableValue(1)] = EncodableValue("a");
  EXPECT_EQ(ToHex(Encode(EncodableValue(ordered))),
            "0D 02 03 01 00 00 00 07 01 61 07 01 62 0D 01 03 02 00 00 00 00");
}

TEST(StandardCodecTest, CustomValueIsWrittenAsNullInPlace) {
  EncodableValueList list{EncodableValue(CustomValue(3)), EncodableValue(1)};
  testing::internal::CaptureStderr();
  auto bytes = Encode(EncodableValue(list));
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Unhandled custom type in StandardCodecSerializer::WriteValue. Custom types require "
            "codec extensions.\n");
  EXPECT_EQ(ToHex(bytes), "0C 02 00 03 01 00 00 00");
}

TEST(StandardCodecTest, ReadsWhatItWrites) {
  auto decoded = Decode(FromHex("09 01 00 00 01 00 00 00"));
  EXPECT_EQ(decoded.value, EncodableValue(std::vector<int32_t>{1}));
  EXPECT_EQ(decoded.diagnostics, "");
  decoded = Decode(FromHex("05 01 37"));
  EXPECT_EQ(decoded.value, EncodableValue(std::string("\x37")));
  decoded =
      Decode(FromHex("0D 02 07 04 70 6F 72 74 03 01 00 00 00 07 04 70 6F 72 74 03 02 00 00 00"));
  EXPECT_EQ(decoded.value,
            EncodableValue(EncodableValueMap{{EncodableValue("port"), EncodableValue(1)}}));
}

TEST(StandardCodecTest, MalformedInputDiagnostics) {
  auto decoded = Decode(FromHex("09 00"));
  EXPECT_EQ(decoded.value, EncodableValue(std::vector<int32_t>{}));
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);

  decoded = Decode(FromHex("0F"));
  EXPECT_TRUE(decoded.value.IsNull());
  EXPECT_EQ(decoded.diagnostics, "Unknown type in StandardCodecSerializer::ReadValueOfType: 15\n");

  decoded = Decode({});
  EXPECT_TRUE(decoded.value.IsNull());
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);

  // Missing integer bytes read as 0, and the decode ends there: the bytes
  // after a failed read are not taken for further elements.
  decoded = Decode(FromHex("0C 02 03 01 00"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableValueList{EncodableValue(0)}));
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);
  // So does an unknown type, whose payload has no known size.
  decoded = Decode(FromHex("0C 03 0F 0F 01"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableValueList{EncodableValue()}));
  EXPECT_EQ(decoded.diagnostics, "Unknown type in StandardCodecSerializer::ReadValueOfType: 15\n");
  // A missing list element reads as null.
  decoded = Decode(FromHex("0C 02 03 01 00 00 00"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableValueList{EncodableValue(1), EncodableValue()}));
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);

  // A missing 2-byte size extension gives size 0.
  decoded = Decode(FromHex("07 FE 01"));
  EXPECT_EQ(decoded.value, EncodableValue(""));
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);
}

// Announced sizes are checked against the bytes left before anything is
// allocated: a short body is refused as an empty value with one line.
TEST(StandardCodecTest, AnnouncedSizesBeyondTheMessageAreRefused) {
  auto decoded = Decode(FromHex("07 05 70 6F"));
  EXPECT_EQ(decoded.value, EncodableValue(""));
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);

  for (const char* hex : {"07 FF FF FF FF FF", "08 FF FF FF FF FF", "0A FF FF FF FF FF",
                          "0B FF FF FF FF FF", "0E FF FF FF FF FF", "09 FF FF FF FF FF"}) {
    decoded = Decode(FromHex(hex));
    EXPECT_EQ(decoded.diagnostics, kInvalidReadLine) << hex;
    EXPECT_FALSE(decoded.value.IsNull()) << hex;
  }
  decoded = Decode(FromHex("0C FF FF FF FF FF 00"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableValueList{}));
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);
  decoded = Decode(FromHex("0D FF FF FF FF FF 00"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableValueMap{}));
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);
  // A map needs two bytes an entry: three entries in five bytes cannot fit.
  decoded = Decode(FromHex("0D 03 00 00 00 00 00"));
  EXPECT_EQ(decoded.value, EncodableValue(EncodableValueMap{}));
}

TEST(StandardCodecTest, NestingIsBoundedBothWays) {
  const int limit = StandardCodecSerializer::kMaxNesting;
  std::vector<uint8_t> deep;
  for (int i = 0; i < 100000; ++i) {
    deep.push_back(0x0C);
    deep.push_back(0x01);
  }
  deep.push_back(0x00);
  auto decoded = Decode(deep);
  EXPECT_NE(decoded.diagnostics.find("Nesting too deep"), std::string::npos);
  int depth = 0;
  const EncodableValue* cursor = &decoded.value;
  while (const auto* list = cursor->TryGet<EncodableValueList>()) {
    ++depth;
    ASSERT_FALSE(list->empty());
    cursor = &list->front();
  }
  EXPECT_EQ(depth, limit);

  // Exactly at the limit everything round-trips silently.
  EncodableValue value(1);
  for (int i = 0; i < limit; ++i) value = EncodableValue(EncodableValueList{value});
  testing::internal::CaptureStderr();
  auto bytes = Encode(value);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(Decode(bytes).value, value);
  // One more level is written as null in place of the innermost list.
  value = EncodableValue(EncodableValueList{value});
  testing::internal::CaptureStderr();
  bytes = Encode(value);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("Nesting too deep"), std::string::npos);
  EXPECT_EQ(bytes.size(), 2u * limit + 1);
}

// Takes over one type byte in both directions, nested values included.
class ExtendedSerializer : public StandardCodecSerializer {
 public:
  void WriteValue(const EncodableValue& value, ByteStreamWriter* stream) const override {
    if (value.Kind() == EncodableValue::kCustom) {
      stream->WriteByte(128);
      return;
    }
    StandardCodecSerializer::WriteValue(value, stream);
  }
  EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* stream) const override {
    if (type == 128) return EncodableValue("custom");
    return StandardCodecSerializer::ReadValueOfType(type, stream);
  }
};

TEST(StandardCodecTest, ADerivedSerializerSeesEveryNestedValue) {
  const ExtendedSerializer serializer;
  std::vector<uint8_t> bytes;
  ByteBufferStreamWriter writer(&bytes);
  serializer.WriteValue(
      EncodableValue(EncodableValueList{EncodableValue(CustomValue(7)), EncodableValue(1)}),
      &writer);
  EXPECT_EQ(ToHex(bytes), "0C 02 80 03 01 00 00 00");
  ByteBufferStreamReader reader(bytes.data(), bytes.size());
  EXPECT_EQ(serializer.ReadNextValue(&reader),
            EncodableValue(EncodableValueList{EncodableValue("custom"), EncodableValue(1)}));
}

size_t CountValues(const EncodableValue& value) {
  size_t count = 1;
  if (const auto* list = value.TryGet<EncodableValueList>()) {
    for (const auto& element : *list) count += CountValues(element);
  } else if (const auto* map = value.TryGet<EncodableValueMap>()) {
    for (const auto& entry : *map) count += CountValues(entry.first) + CountValues(entry.second);
  }
  return count;
}

// Nested lists that each announce nearly the whole message: once the
// innermost has run out, no outer list reads on, so the tree stays within
// the message's size and one line is written.
TEST(StandardCodecTest, NestedCountsBeyondTheEndCostNoMoreThanTheMessage) {
  std::vector<uint8_t> bomb;
  for (int i = 0; i < 120; ++i) {
    bomb.insert(bomb.end(), {0x0C, 0xFE, 0xB8, 0x0B});  // 3000 elements each
  }
  bomb.resize(4000, 0x01);
  const auto decoded = Decode(bomb);
  EXPECT_EQ(decoded.diagnostics, kInvalidReadLine);
  EXPECT_LE(CountValues(decoded.value), bomb.size() + 1);
  EXPECT_GT(CountValues(decoded.value), bomb.size() - 500);
}

// Equal maps nested 64 deep as keys of maps: a comparison that looked at
// each level twice would need about 3.5^64 steps and never return.
TEST(StandardCodecTest, DeeplyNestedKeysCompareOnce) {
  EncodableValue key(1);
  for (int i = 0; i < 64; ++i) key = EncodableValue(EncodableValueMap{{key, EncodableValue(i)}});
  const EncodableValue same = key;
  EXPECT_EQ(EncodableValue::Compare(key, same), 0);
  EncodableValueMap map{{key, EncodableValue("first")}};
  map.emplace(same, EncodableValue("second"));
  ASSERT_EQ(map.size(), 1u);
  EXPECT_EQ(map.begin()->second, EncodableValue("first"));
  EXPECT_EQ(CountValues(EncodableValue(map)), 2u * 64 + 3);
}

}  // namespace
}  // namespace flutter
