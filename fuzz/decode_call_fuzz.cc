// Any bytes either fail to decode as a call or decode to a call that
// survives encode -> decode unchanged; either way the decode costs no more
// values than the input has bytes and at most two diagnostic lines.
#include <cstddef>
#include <cstdint>

#include "channel/standard_method_codec.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessarin_fuzz::SilenceDiagnostics();
  const auto& codec = flutter::StandardMethodCodec::SharedInstance();
  const auto call = codec.DecodeCall(data, size);
  tessarin_fuzz::Check(tessarin_fuzz::Diagnostics().lines <= 2, "more than two diagnostic lines");
  if (!call) return 0;
  tessarin_fuzz::Check(call->Arguments() != nullptr, "a decoded call always has arguments");
  // The name and the arguments: two values read from the same bytes.
  tessarin_fuzz::Check(1 + tessarin_fuzz::CountValues(*call->Arguments()) <= size + 1,
                       "more values than the input has bytes");
  const auto bytes = codec.EncodeCall(*call);
  const auto again = codec.DecodeCall(bytes->data(), bytes->size());
  tessarin_fuzz::Check(again != nullptr, "re-encoded call does not decode");
  tessarin_fuzz::Check(again->MethodName() == call->MethodName(), "method name changed");
  tessarin_fuzz::Check(tessarin_fuzz::SameValue(*again->Arguments(), *call->Arguments()),
                       "arguments changed");
  return 0;
}
