// Test controls of the native stand-in engine: what the real engine would do
// from the other side of the messenger, driven by a test.
#ifndef TESSARIN_STAND_INS_ENGINE_STAND_IN_CONTROLS_H_
#define TESSARIN_STAND_INS_ENGINE_STAND_IN_CONTROLS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "engine_api/flutter_windows.h"

namespace stand_in {

struct Delivery {
  bool delivered = false;      // a callback was registered for the channel
  int responses = 0;           // SendResponse calls for this message so far
  std::vector<uint8_t> bytes;  // the first response's bytes
  bool null_bytes = false;     // the first response came with no data pointer
};

FlutterDesktopMessengerRef CreateMessenger();
// Marks the engine gone; the messenger itself lives until its last release.
void ShutDownMessenger(FlutterDesktopMessengerRef messenger);

// Delivers |bytes| on |channel| synchronously, as the engine would.
Delivery Deliver(FlutterDesktopMessengerRef messenger, const std::string& channel,
                 const std::vector<uint8_t>& bytes);
// The state of the most recent delivery, which may be answered later.
Delivery LastDelivery(FlutterDesktopMessengerRef messenger);
// Every delivery so far, in order: the one numbered |index| (from 0).
size_t DeliveryCount(FlutterDesktopMessengerRef messenger);
Delivery DeliveryAt(FlutterDesktopMessengerRef messenger, size_t index);
// Called after each response, on the thread that sent it: replies may come
// after the handler returned, as from a real engine's host.
void SetResponseListener(FlutterDesktopMessengerRef messenger, void (*listener)(void*),
                         void* user_data);

void SetAvailable(FlutterDesktopMessengerRef messenger, bool available);
int LockCount(FlutterDesktopMessengerRef messenger);
int UnlockCount(FlutterDesktopMessengerRef messenger);
int ReferenceCount(FlutterDesktopMessengerRef messenger);
void* UserData(FlutterDesktopMessengerRef messenger, const std::string& channel);
bool HasCallback(FlutterDesktopMessengerRef messenger, const std::string& channel);
int SetCallbackCount(FlutterDesktopMessengerRef messenger);

// Outgoing messages: recorded; SendWithReply is refused unless allowed.
int PlainSends(FlutterDesktopMessengerRef messenger);
void AcceptSendWithReply(FlutterDesktopMessengerRef messenger, bool accept);
// Answers the last accepted SendWithReply through its trampoline.
void AnswerLastSend(FlutterDesktopMessengerRef messenger, const std::vector<uint8_t>& reply);

// The engine and view half of the native stand-in.
struct EngineStart {
  std::wstring assets;
  std::wstring icu;
  std::wstring aot;
  std::string entrypoint;
  bool entrypoint_null = false;
  int32_t argc = 0;
  bool argv_null = true;
  std::vector<std::string> arguments;
  int32_t option1 = 0;
  int32_t option2 = 0;
};
struct EngineCounts {
  int engine_creates = 0;
  int engine_destroys = 0;
  int controller_creates = 0;
  int controller_destroys = 0;
  int font_reloads = 0;
  int redraws = 0;
  int next_frame_registrations = 0;
};

// Resets every engine control and count.
void ResetEngine();
EngineStart LastEngineStart();
EngineCounts Counts();
void SetEngineCreateFails(bool fails);
void SetViewControllerCreateFails(bool fails);
// As if a frame was produced: runs the pending next-frame callback, if any.
void ProduceFrame();
// The engine consumes |message| with |result| from now on.
void ConsumeTopLevelMessage(UINT message, LRESULT result);
FlutterDesktopMessengerRef LastMessenger();

}  // namespace stand_in

#endif  // TESSARIN_STAND_INS_ENGINE_STAND_IN_CONTROLS_H_
