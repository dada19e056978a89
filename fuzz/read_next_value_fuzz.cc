// Any bytes decode without a crash or an outsized allocation, into at most
// one value per byte (plus one) with at most one diagnostic line, and whatever
// they decode to survives encode -> decode unchanged.
#include <cstddef>
#include <cstdint>

#include "fuzz/fuzz_support.h"

namespace {
// Of another type, so it reads and writes through the stream interfaces
// rather than the direct paths; both must agree byte for byte.
class InterfaceSerializer : public flutter::StandardCodecSerializer {};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessarin_fuzz::SilenceDiagnostics();
  flutter::ByteBufferStreamReader reader(data, size);
  const flutter::EncodableValue value =
      flutter::StandardCodecSerializer::SharedInstance().ReadNextValue(&reader);
  tessarin_fuzz::Check(tessarin_fuzz::CountValues(value) <= size + 1,
                       "more values than the input has bytes");
  tessarin_fuzz::Check(tessarin_fuzz::Diagnostics().lines <= 1, "more than one diagnostic line");
  const auto bytes = tessarin_fuzz::Encode(value);
  static const InterfaceSerializer through_interfaces;
  flutter::ByteBufferStreamReader again_reader(data, size);
  const flutter::EncodableValue generic = through_interfaces.ReadNextValue(&again_reader);
  std::vector<uint8_t> generic_bytes;
  flutter::ByteBufferStreamWriter generic_writer(&generic_bytes);
  through_interfaces.WriteValue(generic, &generic_writer);
  tessarin_fuzz::Check(generic_bytes == bytes, "the direct and the interface paths differ");
  const flutter::EncodableValue again = tessarin_fuzz::Decode(bytes);
  tessarin_fuzz::Check(tessarin_fuzz::SameValue(value, again),
                       "decode-encode-decode changed the value");
  return 0;
}
