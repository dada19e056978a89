// Any bytes decode without a crash or an outsized allocation, and whatever
// they decode to survives encode -> decode unchanged.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessarin_fuzz::SilenceDiagnostics();
  flutter::ByteBufferStreamReader reader(data, size);
  const flutter::EncodableValue value =
      flutter::StandardCodecSerializer::SharedInstance().ReadNextValue(&reader);
  const auto bytes = tessarin_fuzz::Encode(value);
  const flutter::EncodableValue again = tessarin_fuzz::Decode(bytes);
  tessarin_fuzz::Check(tessarin_fuzz::SameValue(value, again),
                       "decode-encode-decode changed the value");
  return 0;
}
