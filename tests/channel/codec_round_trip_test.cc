#include <gtest/gtest.h>

#include "channel/standard_method_codec.h"
#include "tests/support/bytes.h"
#include "tests/support/random_values.h"

namespace flutter {
namespace {

using tessarin_test::Decode;
using tessarin_test::Encode;

// Every tree survives encode and decode unchanged, alone and as the
// arguments of a call (where padding starts at a different offset).
TEST(CodecRoundTripTest, RandomTreesSurviveUnchanged) {
  tessarin_test::RandomValues random(20261207);
  for (int i = 0; i < 1500; ++i) {
    const EncodableValue value = random.Next();
    const auto bytes = Encode(value);
    const auto decoded = Decode(bytes);
    ASSERT_EQ(decoded.diagnostics, "") << "tree " << i;
    ASSERT_EQ(decoded.value, value) << "tree " << i;
    ASSERT_EQ(Encode(decoded.value), bytes) << "tree " << i;

    MethodCall call("connect", std::make_unique<EncodableValue>(value));
    const auto message = StandardMethodCodec::SharedInstance().EncodeCall(call);
    const auto back =
        StandardMethodCodec::SharedInstance().DecodeCall(message->data(), message->size());
    ASSERT_NE(back, nullptr);
    ASSERT_EQ(*back->Arguments(), value) << "call " << i;
  }
}

}  // namespace
}  // namespace flutter
