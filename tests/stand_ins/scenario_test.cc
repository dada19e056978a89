// The scripted UI's portable half: scenarios in, transcript lines out. Tests
// and outside tools read these lines, so their form is checked exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "channel/encodable_value.h"
#include "stand_ins/engine/scenario.h"

namespace {

using flutter::EncodableValue;
using flutter::EncodableValueList;
using flutter::EncodableValueMap;

EncodableValue FromJson(const std::string& text) {
  stand_in::Json document;
  std::string error;
  EXPECT_TRUE(stand_in::ParseJson(text, &document, &error)) << error;
  EncodableValue value;
  EXPECT_TRUE(stand_in::ValueFromJson(document, &value, &error)) << error;
  return value;
}

TEST(JsonTest, StrictAsACoreWouldRead) {
  stand_in::Json out;
  std::string error;
  for (const char* bad : {"", "{", "[1,]", "01", "\"a\nb\"", "{} {}", "nan"}) {
    EXPECT_FALSE(stand_in::ParseJson(bad, &out, &error)) << bad;
  }
  EXPECT_FALSE(stand_in::ParseJson(R"({"a": {"b": 1, "b": 2}})", &out, &error));
  EXPECT_EQ(error, "duplicate member \"b\"");
  ASSERT_TRUE(stand_in::ParseJson(R"({"b": 1, "a": {"b": 2}})", &out, &error)) << error;
  EXPECT_EQ(out.items().begin().key(), "b");  // members keep their order
  int64_t too_big = 0;
  ASSERT_TRUE(stand_in::ParseJson("9223372036854775808", &out, &error));
  EXPECT_FALSE(stand_in::ToInt64(out, &too_big));
  EXPECT_EQ(stand_in::Quote("a\"b\\\n\x01"), "\"a\\\"b\\\\\\n\\u0001\"");
}

TEST(ScenarioValuesTest, JsonKindsMapOntoChannelKinds) {
  EXPECT_EQ(FromJson("2147483647"), EncodableValue(int32_t{2147483647}));
  EXPECT_EQ(FromJson("2147483648"), EncodableValue(int64_t{2147483648}));
  EXPECT_EQ(FromJson("-2147483649"), EncodableValue(int64_t{-2147483649}));
  EXPECT_EQ(FromJson("2.0"), EncodableValue(2.0));
  EXPECT_EQ(FromJson(R"({"$int64": 5})"), EncodableValue(int64_t{5}));
  EXPECT_EQ(FromJson(R"({"$int32": -5})"), EncodableValue(int32_t{-5}));
  EXPECT_EQ(FromJson(R"({"$double": 3})"), EncodableValue(3.0));
  EXPECT_EQ(FromJson(R"({"$bytes": "00ff10"})"), EncodableValue(std::vector<uint8_t>{0, 255, 16}));
  EXPECT_EQ(
      FromJson(R"({"a": [null, true, "x"], "$int64": 1, "b": {}})"),
      EncodableValue(EncodableValueMap{
          {EncodableValue("a"), EncodableValue(EncodableValueList{
                                    EncodableValue(), EncodableValue(true), EncodableValue("x")})},
          {EncodableValue("$int64"), EncodableValue(int32_t{1})},
          {EncodableValue("b"), EncodableValue(EncodableValueMap{})}}));

  stand_in::Json document;
  std::string error;
  EncodableValue value;
  for (const char* bad : {R"({"$int32": 2147483648})", R"({"$int32": 1.5})", R"({"$bytes": "abc"})",
                          R"({"$double": "x"})", "9223372036854775808"}) {
    ASSERT_TRUE(stand_in::ParseJson(bad, &document, &error)) << bad;
    EXPECT_FALSE(stand_in::ValueFromJson(document, &value, &error)) << bad;
  }
}

TEST(ScenarioValuesTest, KindsSurviveTheWayBack) {
  const EncodableValue tree(EncodableValueList{
      EncodableValue(int32_t{-7}), EncodableValue(int64_t{7}), EncodableValue(1.0),
      EncodableValue(0.1), EncodableValue(std::vector<uint8_t>{1, 0xAB}), EncodableValue("é\n"),
      EncodableValue(), EncodableValue(false),
      EncodableValue(EncodableValueMap{{EncodableValue("k"), EncodableValue(int64_t{1} << 40)}})});
  const std::string text = stand_in::ValueToJson(tree);
  EXPECT_EQ(text,
            "[-7, {\"$int64\": 7}, 1.0, 0.10000000000000001, {\"$bytes\": \"01ab\"}, \"é\\n\", "
            "null, false, {\"k\": {\"$int64\": 1099511627776}}]");
  EXPECT_EQ(FromJson(text), tree);
  EXPECT_EQ(
      FromJson(stand_in::ValueToJson(EncodableValue(std::numeric_limits<double>::infinity()))),
      EncodableValue(std::numeric_limits<double>::infinity()));
  // Maps with other keys and typed lists still come out as JSON.
  EXPECT_EQ(stand_in::ValueToJson(EncodableValue(
                EncodableValueMap{{EncodableValue(int32_t{1}), EncodableValue("x")}})),
            "{\"$map\": [[1, \"x\"]]}");
  EXPECT_EQ(stand_in::ValueToJson(EncodableValue(std::vector<int32_t>{1, -2})),
            "{\"$int32list\": [1, -2]}");
}

TEST(ScenarioTest, ReadsEveryStepKindAndRefusesTheRest) {
  std::vector<stand_in::ScenarioStep> steps;
  std::string error;
  ASSERT_TRUE(stand_in::ParseScenario(
      R"({"steps": [{"call": "status"}, {"call": "connect", "args": {"mode": "smart"}, "wait_reply": false},
                    {"raw": "ff 00"}, {"wait_ms": 250}, {"terminate_core": true}, {"crash": true},
                    {"close": true}]})",
      &steps, &error))
      << error;
  ASSERT_EQ(steps.size(), 7u);
  EXPECT_EQ(steps[0].kind, stand_in::ScenarioStep::Kind::kCall);
  EXPECT_FALSE(steps[0].args.has_value());
  ASSERT_TRUE(steps[1].args.has_value());
  EXPECT_TRUE(steps[0].wait_reply);
  EXPECT_FALSE(steps[1].wait_reply);
  EXPECT_EQ(steps[2].raw, (std::vector<uint8_t>{0xFF, 0x00}));
  EXPECT_EQ(steps[3].wait_ms, 250);
  EXPECT_EQ(steps[4].kind, stand_in::ScenarioStep::Kind::kTerminateCore);
  EXPECT_EQ(steps[5].kind, stand_in::ScenarioStep::Kind::kCrash);
  EXPECT_EQ(steps[6].kind, stand_in::ScenarioStep::Kind::kClose);

  // A call with args null sends a null argument; without args, none.
  ASSERT_TRUE(stand_in::ParseScenario(R"({"steps": [{"call": "a", "args": null}, {"call": "a"}]})",
                                      &steps, &error));
  EXPECT_EQ(stand_in::ToHex(stand_in::StepMessage(steps[0])), "07016100");
  EXPECT_EQ(stand_in::StepMessage(steps[0]), stand_in::StepMessage(steps[1]));

  for (const char* bad :
       {"[]", R"({"steps": {}})", R"({"steps": [{"call": 1}]})", R"({"steps": [{"raw": "zz"}]})",
        R"({"steps": [{"wait_ms": -1}]})", R"({"steps": [{"sleep": 1}]})",
        R"({"steps": [{"call": "x", "wait_reply": 0}]})", R"({"steps": [{"block_ms": "5"}]})",
        R"({"steps": [{"call": "x", "args": {"$int32": 1.5}}]})"}) {
    EXPECT_FALSE(stand_in::ParseScenario(bad, &steps, &error)) << bad;
  }
}

TEST(TranscriptTest, LinesHaveTheAgreedForm) {
  EXPECT_EQ(
      stand_in::EngineLine("data\\flutter_assets", "data\\icudtl.dat", "data\\app.so",
                           {"--mode", "a b"}),
      "{\"engine\": {\"assets\": \"data\\\\flutter_assets\", \"icu\": \"data\\\\icudtl.dat\", "
      "\"aot\": \"data\\\\app.so\", \"arguments\": [\"--mode\", \"a b\"]}}");

  stand_in::ScenarioStep raw;
  raw.kind = stand_in::ScenarioStep::Kind::kRaw;
  stand_in::ProxyValues proxy;
  proxy.enable = 1;
  proxy.server = "http=127.0.0.1:20808";
  const std::vector<uint8_t> none;
  EXPECT_EQ(stand_in::StepLine(3, raw, {0xFF}, &none, proxy, 12),
            "{\"step\": 3, \"call\": null, \"sent\": \"ff\", \"bytes\": \"\", \"reply\": "
            "\"notImplemented\", \"proxy\": {\"ProxyEnable\": 1, \"ProxyServer\": "
            "\"http=127.0.0.1:20808\", \"ProxyOverride\": null}, \"elapsed_ms\": 12}");

  stand_in::ScenarioStep call;
  call.kind = stand_in::ScenarioStep::Kind::kCall;
  call.method = "status";
  EXPECT_EQ(
      stand_in::StepLine(0, call, {0x07}, nullptr, stand_in::ProxyValues(), 0),
      "{\"step\": 0, \"call\": \"status\", \"sent\": \"07\", \"bytes\": null, \"reply\": null, "
      "\"proxy\": {\"ProxyEnable\": null, \"ProxyServer\": null, \"ProxyOverride\": null}, "
      "\"elapsed_ms\": 0}");
}

TEST(TranscriptTest, RepliesAreDecodedWithTheirEnvelopes) {
  std::vector<uint8_t> success;
  ASSERT_TRUE(stand_in::FromHex("00 0d 01 07 05 73 74 61 67 65 07 09 63 6f 6e 6e 65 63 74 65 64",
                                &success));
  EXPECT_EQ(stand_in::ReplyToJson(&success), "{\"success\": {\"stage\": \"connected\"}}");
  stand_in::ShownStatus shown;
  ASSERT_TRUE(stand_in::StatusFromReply(success, &shown));
  EXPECT_EQ(shown.stage, "connected");

  std::vector<uint8_t> error;
  ASSERT_TRUE(stand_in::FromHex("01 07 02 49 4f 07 01 78 00", &error));
  EXPECT_EQ(stand_in::ReplyToJson(&error),
            "{\"error\": {\"code\": \"IO\", \"message\": \"x\", \"details\": null}}");
  ASSERT_TRUE(stand_in::StatusFromReply(error, &shown));
  EXPECT_EQ(shown.stage, "error");
  EXPECT_EQ(shown.message, "IO: x");

  const std::vector<uint8_t> odd = {0x05};
  EXPECT_EQ(stand_in::ReplyToJson(&odd), "\"undecodable\"");
  EXPECT_FALSE(stand_in::StatusFromReply(odd, &shown));
}

}  // namespace
