// Shared by the fuzz targets: the codec's diagnostics are expected on hostile
// input, so stderr is silenced once; a real fault aborts loudly instead.
#ifndef TESSARIN_FUZZ_FUZZ_SUPPORT_H_
#define TESSARIN_FUZZ_FUZZ_SUPPORT_H_

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <vector>

#include "channel/byte_buffer_streams.h"
#include "channel/encodable_value.h"
#include "channel/standard_codec_serializer.h"

namespace tessarin_fuzz {

inline void SilenceDiagnostics() {
  static const bool silenced = [] {
    std::cerr.setstate(std::ios::failbit);
    return true;
  }();
  (void)silenced;
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
