// Shared by the fuzz targets: the codec's diagnostics are expected on hostile
// input, so stderr is silenced once; a real fault aborts loudly instead.
#ifndef TESSARIN_FUZZ_FUZZ_SUPPORT_H_
#define TESSARIN_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <streambuf>
#include <vector>

#include "channel/byte_buffer_streams.h"
#include "channel/encodable_value.h"
#include "channel/standard_codec_serializer.h"

namespace tessarin_fuzz {

// Swallows what the channel layer writes to std::cerr, counting its lines.
class LineCounter : public std::streambuf {
 public:
  size_t lines = 0;

 protected:
  int_type overflow(int_type c) override {
    if (c == '\n') ++lines;
    return traits_type::not_eof(c);
  }
};

inline LineCounter& Diagnostics() {
  static LineCounter counter;
  return counter;
}

// Silences diagnostics and restarts their count for the next input.
inline void SilenceDiagnostics() {
  static const bool silenced = [] {
    std::cerr.rdbuf(&Diagnostics());
    return true;
  }();
  (void)silenced;
  Diagnostics().lines = 0;
}

// Values in a tree, the root included.
inline size_t CountValues(const flutter::EncodableValue& value) {
  size_t count = 1;
  if (const auto* list = value.TryGet<flutter::EncodableValueList>()) {
    for (const auto& element : *list) count += CountValues(element);
  } else if (const auto* map = value.TryGet<flutter::EncodableValueMap>()) {
    for (const auto& entry : *map) count += CountValues(entry.first) + CountValues(entry.second);
  }
  return count;
}

inline void Check(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stdout, "fuzz check failed: %s\n", what);
    std::fflush(stdout);
    std::abort();
  }
}

inline std::vector<uint8_t> Encode(const flutter::EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::SharedInstance().WriteValue(value, &writer);
  return bytes;
}

inline flutter::EncodableValue Decode(const std::vector<uint8_t>& bytes) {
  flutter::ByteBufferStreamReader reader(bytes.data(), bytes.size());
  return flutter::StandardCodecSerializer::SharedInstance().ReadNextValue(&reader);
}

// Equality that also holds for NaN: the encoded bytes must match.
inline bool SameValue(const flutter::EncodableValue& a, const flutter::EncodableValue& b) {
  return Encode(a) == Encode(b);
}

}  // namespace tessarin_fuzz

#endif  // TESSARIN_FUZZ_FUZZ_SUPPORT_H_
