// The messenger, method channel and one-shot results, driven from the
// engine's side through the stand-in engine.
#include <gtest/gtest.h>

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "channel/binary_messenger_impl.h"
#include "channel/method_call_channel.h"
#include "channel/standard_method_codec.h"
#include "stand_ins/engine/stand_in_controls.h"
#include "tests/support/bytes.h"

namespace flutter {
namespace {

using tessarin_test::FromHex;
using tessarin_test::ToHex;

constexpr char kDuplicateResult[] =
    "Error: Only one of Success, Error, or NotImplemented can be called, and it can be called "
    "exactly once. Ignoring duplicate result.\n";

class MessengerTest : public testing::Test {
 protected:
  void SetUp() override {
    platform_ = stand_in::CreateMessenger();
    messenger_ = std::make_unique<BinaryMessengerImpl>(platform_);
    channel_ = std::make_unique<MethodCallChannel>(messenger_.get(), "tessarin/tunnel",
                                                   &StandardMethodCodec::SharedInstance());
  }
  void TearDown() override {
    channel_.reset();
    stand_in::ShutDownMessenger(platform_);
    messenger_.reset();
  }
  stand_in::Delivery Call(const std::string& hex) {
    return stand_in::Deliver(platform_, "tessarin/tunnel", FromHex(hex));
  }

  FlutterDesktopMessengerRef platform_ = nullptr;
  std::unique_ptr<BinaryMessengerImpl> messenger_;
  std::unique_ptr<MethodCallChannel> channel_;
};

constexpr char kStatusCall[] = "07 06 73 74 61 74 75 73 00";

TEST_F(MessengerTest, AnswersAreEncodedAndSentOnce) {
  channel_->SetCallHandler([](const MethodCall& call, std::unique_ptr<MethodResult> result) {
    const EncodableValue name(call.MethodName());
    result->Success(&name);
  });
  auto delivery = Call(kStatusCall);
  EXPECT_EQ(delivery.responses, 1);
  EXPECT_EQ(ToHex(delivery.bytes), "00 07 06 73 74 61 74 75 73");
  // The closure's reference to the messenger is gone with the message.
  EXPECT_EQ(stand_in::ReferenceCount(platform_), 1);
  EXPECT_EQ(stand_in::LockCount(platform_), 1);
  EXPECT_EQ(stand_in::UnlockCount(platform_), 1);
}

TEST_F(MessengerTest, NotImplementedSendsNoBytes) {
  channel_->SetCallHandler(
      [](const MethodCall&, std::unique_ptr<MethodResult> result) { result->NotImplemented(); });
  auto delivery = Call(kStatusCall);
  EXPECT_EQ(delivery.responses, 1);
  EXPECT_TRUE(delivery.null_bytes);
  EXPECT_TRUE(delivery.bytes.empty());
}

TEST_F(MessengerTest, SecondAnswerIsReportedAndNotSent) {
  channel_->SetCallHandler([](const MethodCall&, std::unique_ptr<MethodResult> result) {
    result->Success(nullptr);
    result->Error("IO_ERROR", "late", nullptr);
  });
  testing::internal::CaptureStderr();
  auto delivery = Call(kStatusCall);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), kDuplicateResult);
  EXPECT_EQ(delivery.responses, 1);
  EXPECT_EQ(ToHex(delivery.bytes), "00 00");
}

TEST_F(MessengerTest, DroppedResultWarnsAndSendsNothing) {
  channel_->SetCallHandler([](const MethodCall&, std::unique_ptr<MethodResult>) {});
  testing::internal::CaptureStderr();
  auto delivery = Call(kStatusCall);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Warning: Failed to respond to a message. This is a memory leak.\n");
  EXPECT_EQ(delivery.responses, 0);
}

TEST_F(MessengerTest, AHandlerThatThrowsIsAnsweredWithAnErrorAndTheNextCallWorks) {
  int calls = 0;
  channel_->SetCallHandler([&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    ++calls;
    if (calls == 1) throw std::bad_alloc();
    if (calls == 2) throw std::runtime_error("node table");
    result->Success(nullptr);
    if (calls == 3) throw std::runtime_error("after the answer");
  });
  // INTERNAL_ERROR, "The native handler failed.", no details.
  const std::string error_reply =
      "01 07 0E 49 4E 54 45 52 4E 41 4C 5F 45 52 52 4F 52 07 1A 54 68 65 20 6E 61 74 69 76 65 20 "
      "68 61 6E 64 6C 65 72 20 66 61 69 6C 65 64 2E 00";
  for (const char* what : {"std::bad_alloc", "node table"}) {
    testing::internal::CaptureStderr();
    const auto delivery = Call(kStatusCall);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Exception in a method call handler: ") + what + "\n");
    EXPECT_EQ(delivery.responses, 1);
    EXPECT_EQ(ToHex(delivery.bytes), error_reply);
  }
  testing::internal::CaptureStderr();
  const auto answered = Call(kStatusCall);  // answered, then threw: nothing more is sent
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Exception in a method call handler: after the answer\n");
  EXPECT_EQ(answered.responses, 1);
  EXPECT_EQ(ToHex(answered.bytes), "00 00");
  EXPECT_EQ(ToHex(Call(kStatusCall).bytes), "00 00");
}

TEST_F(MessengerTest, UndecodableMessageGetsOneEmptyReplyWithoutTheHandler) {
  bool called = false;
  channel_->SetCallHandler([&](const MethodCall&, std::unique_ptr<MethodResult> result) {
    called = true;
    result->NotImplemented();
  });
  testing::internal::CaptureStderr();
  auto delivery = Call("03 01 00 00 00");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Invalid method call; method name is not a string.\n"
            "Unable to construct method call from message on channel tessarin/tunnel\n");
  EXPECT_FALSE(called);
  EXPECT_EQ(delivery.responses, 1);
  EXPECT_TRUE(delivery.bytes.empty());
}

TEST_F(MessengerTest, ReplyAfterTheEngineWentAwayIsDroppedWithTheLockReleased) {
  std::unique_ptr<MethodResult> kept;
  channel_->SetCallHandler(
      [&](const MethodCall&, std::unique_ptr<MethodResult> result) { kept = std::move(result); });
  Call(kStatusCall);
  stand_in::SetAvailable(platform_, false);
  testing::internal::CaptureStderr();
  kept->Success(nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(stand_in::LastDelivery(platform_).responses, 0);
  EXPECT_EQ(stand_in::LockCount(platform_), stand_in::UnlockCount(platform_));
  kept.reset();
  EXPECT_EQ(stand_in::ReferenceCount(platform_), 1);
}

TEST_F(MessengerTest, HandlersAreReplacedInPlaceAndRemovedOnRequest) {
  int first = 0;
  int second = 0;
  messenger_->SetChannelHandler("c", [&](const uint8_t*, size_t, ReplyCallback reply) {
    ++first;
    reply(nullptr, 0);
  });
  void* address = stand_in::UserData(platform_, "c");
  messenger_->SetChannelHandler("c", [&](const uint8_t*, size_t, ReplyCallback reply) {
    ++second;
    reply(nullptr, 0);
  });
  EXPECT_EQ(stand_in::UserData(platform_, "c"), address);
  stand_in::Deliver(platform_, "c", {});
  EXPECT_EQ(first, 0);
  EXPECT_EQ(second, 1);
  messenger_->SetChannelHandler("c", nullptr);
  EXPECT_FALSE(stand_in::HasCallback(platform_, "c"));
  // Clearing a name that never had a handler still clears the platform side.
  const int before = stand_in::SetCallbackCount(platform_);
  messenger_->SetChannelHandler("never", nullptr);
  EXPECT_EQ(stand_in::SetCallbackCount(platform_), before + 1);
}

TEST_F(MessengerTest, EveryCopyOfTheClosureSharesOneResponse) {
  ReplyCallback copy;
  messenger_->SetChannelHandler("c", [&](const uint8_t*, size_t, ReplyCallback reply) {
    copy = reply;
    reply(nullptr, 0);
  });
  stand_in::Deliver(platform_, "c", {});
  // The handle was used by the original: the copy may not send on it again.
  testing::internal::CaptureStderr();
  copy(nullptr, 0);
  copy(nullptr, 0);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Error: Response can be set only once. Ignoring duplicate response.\n"
            "Error: Response can be set only once. Ignoring duplicate response.\n");
  EXPECT_EQ(stand_in::LastDelivery(platform_).responses, 1);
  copy = nullptr;
  EXPECT_EQ(stand_in::ReferenceCount(platform_), 1);
}

TEST_F(MessengerTest, SendUsesPlainSendOrTheTrampoline) {
  messenger_->Send("c", nullptr, 0, nullptr);
  EXPECT_EQ(stand_in::PlainSends(platform_), 1);
  bool called = false;
  messenger_->Send("c", nullptr, 0, [&](const uint8_t*, size_t) { called = true; });
  EXPECT_FALSE(called);  // refused: destroyed uncalled (ASan checks the holder is freed)
  stand_in::AcceptSendWithReply(platform_, true);
  std::vector<uint8_t> answer;
  messenger_->Send("c", nullptr, 0,
                   [&](const uint8_t* bytes, size_t size) { answer.assign(bytes, bytes + size); });
  stand_in::AnswerLastSend(platform_, {1, 2});
  EXPECT_EQ(answer, (std::vector<uint8_t>{1, 2}));
}

}  // namespace
}  // namespace flutter
