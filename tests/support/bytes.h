// Small helpers shared by the channel tests: hex in and out, and encoding or
// decoding one value while capturing what the codec writes to stderr.
#ifndef TESSARIN_TESTS_SUPPORT_BYTES_H_
#define TESSARIN_TESTS_SUPPORT_BYTES_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "channel/byte_buffer_streams.h"
#include "channel/encodable_value.h"
#include "channel/standard_codec_serializer.h"

namespace tessarin_test {

inline std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  int high = -1;
  for (char c : hex) {
    int nibble;
    if (c >= '0' && c <= '9') {
      nibble = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      nibble = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      nibble = c - 'A' + 10;
    } else {
      continue;
    }
    if (high < 0) {
      high = nibble;
    } else {
      bytes.push_back(static_cast<uint8_t>(high * 16 + nibble));
      high = -1;
    }
  }
  return bytes;
}

inline std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) hex += ' ';
    hex += kDigits[bytes[i] >> 4];
    hex += kDigits[bytes[i] & 15];
  }
  return hex;
}

inline std::vector<uint8_t> Encode(const flutter::EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::SharedInstance().WriteValue(value, &writer);
  return bytes;
}

struct Decoded {
  flutter::EncodableValue value;
  std::string diagnostics;
};

inline Decoded Decode(const std::vector<uint8_t>& bytes) {
  flutter::ByteBufferStreamReader reader(bytes.data(), bytes.size());
  testing::internal::CaptureStderr();
  flutter::EncodableValue value =
      flutter::StandardCodecSerializer::SharedInstance().ReadNextValue(&reader);
  return {std::move(value), testing::internal::GetCapturedStderr()};
}

constexpr const char kInvalidReadLine[] = "Invalid read in StandardCodecByteStreamReader\n";

}  // namespace tessarin_test

#endif  // TESSARIN_TESTS_SUPPORT_BYTES_H_
