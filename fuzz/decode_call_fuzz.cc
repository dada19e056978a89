// Any bytes either fail to decode as a call or decode to a call that
// survives encode -> decode unchanged.
#include <cstddef>
#include <cstdint>

#include "channel/standard_method_codec.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  tessarin_fuzz::SilenceDiagnostics();
  const auto& codec = flutter::StandardMethodCodec::SharedInstance();
  const auto call = codec.DecodeCall(data, size);
  if (!call) return 0;
  tessarin_fuzz::Check(call->Arguments() != nullptr, "a decoded call always has arguments");
  const auto bytes = codec.EncodeCall(*call);
  const auto again = codec.DecodeCall(bytes->data(), bytes->size());
  tessarin_fuzz::Check(again != nullptr, "re-encoded call does not decode");
  tessarin_fuzz::Check(again->MethodName() == call->MethodName(), "method name changed");
  tessarin_fuzz::Check(tessarin_fuzz::SameValue(*again->Arguments(), *call->Arguments()),
                       "arguments changed");
  return 0;
}
