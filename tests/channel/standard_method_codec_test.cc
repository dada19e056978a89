#include "channel/standard_method_codec.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/support/bytes.h"

namespace flutter {
namespace {

using tessarin_test::FromHex;
using tessarin_test::kInvalidReadLine;
using tessarin_test::ToHex;

const StandardMethodCodec& Codec() { return StandardMethodCodec::SharedInstance(); }

// Records the one answer DecodeReply gives.
class RecordingResult : public MethodResult {
 public:
  void Success(const EncodableValue* result) override {
    kind = "success";
    value = result ? std::optional<EncodableValue>(*result) : std::nullopt;
  }
  void Error(const std::string& error_code, const std::string& error_message,
             const EncodableValue* details) override {
    kind = "error";
    code = error_code;
    message = error_message;
    value = details ? std::optional<EncodableValue>(*details) : std::nullopt;
  }
  void NotImplemented() override { kind = "notImplemented"; }
  void Reset() {
    kind.clear();
    code.clear();
    message.clear();
    value.reset();
  }

  std::string kind;
  std::string code;
  std::string message;
  std::optional<EncodableValue> value;
};

TEST(StandardMethodCodecTest, SharedInstanceIsOne) {
  EXPECT_EQ(&StandardMethodCodec::SharedInstance(), &StandardMethodCodec::SharedInstance());
  EXPECT_EQ(&StandardMethodCodec::SharedInstance(),
            &StandardMethodCodec::SharedInstance(&StandardCodecSerializer::SharedInstance()));
}

TEST(StandardMethodCodecTest, SuccessReplies) {
  EXPECT_EQ(ToHex(*Codec().EncodeSuccessReply(nullptr)), "00 00");
  EncodableValue five(5);
  EXPECT_EQ(ToHex(*Codec().EncodeSuccessReply(&five)), "00 03 05 00 00 00");
  EncodableValue one(1.0);
  EXPECT_EQ(ToHex(*Codec().EncodeSuccessReply(&one)),
            "00 06 00 00 00 00 00 00 00 00 00 00 00 00 F0 3F");
}

TEST(StandardMethodCodecTest, ErrorReplies) {
  EXPECT_EQ(ToHex(*Codec().EncodeErrorReply("IO_ERROR", "", nullptr)),
            "01 07 08 49 4F 5F 45 52 52 4F 52 00 00");
  EncodableValue yes(true);
  EXPECT_EQ(ToHex(*Codec().EncodeErrorReply("IO_ERROR", "unknown", &yes)),
            "01 07 08 49 4F 5F 45 52 52 4F 52 07 07 75 6E 6B 6E 6F 77 6E 01");
}

TEST(StandardMethodCodecTest, DecodeCall) {
  auto bytes = FromHex("07 06 73 74 61 74 75 73 00");
  testing::internal::CaptureStderr();
  auto call = Codec().DecodeCall(bytes.data(), bytes.size());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  ASSERT_NE(call, nullptr);
  EXPECT_EQ(call->MethodName(), "status");
  ASSERT_NE(call->Arguments(), nullptr);
  EXPECT_TRUE(call->Arguments()->IsNull());

  // Cut short or padded: not the call it looks like.
  bytes.pop_back();
  testing::internal::CaptureStderr();
  EXPECT_EQ(Codec().DecodeCall(bytes.data(), bytes.size()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kInvalidReadLine);
  bytes = FromHex("07 06 73 74 61 74 75 73 00 00");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Codec().DecodeCall(bytes.data(), bytes.size()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; bytes remain after the arguments.\n");

  bytes = FromHex("03 01 00 00 00");
  testing::internal::CaptureStderr();
  EXPECT_EQ(Codec().DecodeCall(bytes.data(), bytes.size()), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; method name is not a string.\n");

  testing::internal::CaptureStderr();
  EXPECT_EQ(Codec().DecodeCall(nullptr, 0), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            std::string(kInvalidReadLine) + "Invalid method call; method name is not a string.\n");
}

TEST(StandardMethodCodecTest, EncodeCallRoundTrips) {
  MethodCall status("status", nullptr);
  auto bytes = Codec().EncodeCall(status);
  EXPECT_EQ(ToHex(*bytes), "07 06 73 74 61 74 75 73 00");
  auto back = Codec().DecodeCall(bytes->data(), bytes->size());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(back->MethodName(), "status");

  EncodableValueMap request{{EncodableValue("proxyMode"), EncodableValue("smart")}};
  MethodCall connect("connect", std::make_unique<EncodableValue>(request));
  bytes = Codec().EncodeCall(connect);
  back = Codec().DecodeCall(bytes->data(), bytes->size());
  ASSERT_NE(back, nullptr);
  EXPECT_EQ(*back->Arguments(), EncodableValue(request));
}

TEST(StandardMethodCodecTest, DecodeReply) {
  RecordingResult result;
  auto bytes = FromHex("00 07 04 70 6F 72 74");
  EXPECT_TRUE(Codec().DecodeReply(bytes.data(), bytes.size(), &result));
  EXPECT_EQ(result.kind, "success");
  EXPECT_EQ(result.value, EncodableValue("port"));

  result.Reset();
  bytes = FromHex("00 00");
  EXPECT_TRUE(Codec().DecodeReply(bytes.data(), bytes.size(), &result));
  EXPECT_EQ(result.kind, "success");
  EXPECT_FALSE(result.value.has_value());

  result.Reset();
  bytes = FromHex("02");
  EXPECT_FALSE(Codec().DecodeReply(bytes.data(), bytes.size(), &result));
  EXPECT_EQ(result.kind, "");

  bytes = FromHex("01 07 08 49 4F 5F 45 52 52 4F 52 00 00");
  EXPECT_TRUE(Codec().DecodeReply(bytes.data(), bytes.size(), &result));
  EXPECT_EQ(result.kind, "error");
  EXPECT_EQ(result.code, "IO_ERROR");
  EXPECT_EQ(result.message, "");
  EXPECT_FALSE(result.value.has_value());

  result.Reset();
  testing::internal::CaptureStderr();
  EXPECT_TRUE(Codec().DecodeReply(nullptr, 0, &result));
  // The envelope and the value are both missing; the failed read is reported once.
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kInvalidReadLine);
  EXPECT_EQ(result.kind, "success");
  EXPECT_FALSE(result.value.has_value());

  // An error whose code is not a string is refused before the result is called.
  result.Reset();
  bytes = FromHex("01 03 01 00 00 00 00 00");
  EXPECT_THROW(Codec().DecodeReply(bytes.data(), bytes.size(), &result), std::bad_variant_access);
  EXPECT_EQ(result.kind, "");
}

}  // namespace
}  // namespace flutter
