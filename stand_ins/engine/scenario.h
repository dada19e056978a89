// The scripted user interface's portable half: scenario steps read from
// JSON, values mapped between JSON and the channel's values, and transcript
// lines. The Windows stand-in engine drives these from its view window.
#ifndef TESSARIN_STAND_INS_ENGINE_SCENARIO_H_
#define TESSARIN_STAND_INS_ENGINE_SCENARIO_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "channel/encodable_value.h"
#include "stand_ins/json/json_support.h"

namespace stand_in {

struct ScenarioStep {
  enum class Kind { kCall, kRaw, kWait, kBlock, kTerminateCore, kCrash, kAbort, kClose };
  Kind kind = Kind::kClose;
  std::string method;                           // kCall
  std::optional<flutter::EncodableValue> args;  // kCall; absent: no arguments
  std::vector<uint8_t> raw;                     // kRaw
  int64_t wait_ms = 0;                          // kWait, kBlock
  bool heap_locked = false;                     // kCrash: with the heap's lock held
  bool survived = false;   // kCrash: a handler before the host's goes on after it
  bool wait_reply = true;  // kCall, kRaw: the next step waits for the reply
};

// {"steps": [...]}; false with a reason for anything else.
bool ParseScenario(const std::string& text, std::vector<ScenarioStep>* steps, std::string* error);

// JSON onto channel values: integers become int32 when they fit, else int64;
// {"$int32"|"$int64"|"$double"|"$bytes": ...} force a kind.
bool ValueFromJson(const Json& json, flutter::EncodableValue* out, std::string* error);
// And back, so that kinds survive a round trip (int64 always as {"$int64": N}).
std::string ValueToJson(const flutter::EncodableValue& value);

// The message bytes a step sends on the channel (kCall and kRaw only).
std::vector<uint8_t> StepMessage(const ScenarioStep& step);

// The transcript's reply field for reply bytes, or "null" when none came.
std::string ReplyToJson(const std::vector<uint8_t>* reply);

struct ProxyValues {
  std::optional<uint32_t> enable;
  std::optional<std::string> server;
  std::optional<std::string> override_list;
};

std::string EngineLine(const std::string& assets, const std::string& icu, const std::string& aot,
                       const std::vector<std::string>& arguments);
// |elapsed_ms|: from sending the message to its reply (or to the line, when
// none came).
std::string StepLine(size_t index, const ScenarioStep& step, const std::vector<uint8_t>& sent,
                     const std::vector<uint8_t>* reply, const ProxyValues& proxy,
                     int64_t elapsed_ms);
constexpr const char kClosedLine[] = "{\"closed\": true}";

std::string ToHex(const std::vector<uint8_t>& bytes);
bool FromHex(const std::string& hex, std::vector<uint8_t>* out);

// What a status-like reply says, for painting: stage, message, session id.
struct ShownStatus {
  std::string stage = "idle";
  std::string message;
  std::string session_id;
};
bool StatusFromReply(const std::vector<uint8_t>& reply, ShownStatus* out);

}  // namespace stand_in

#endif  // TESSARIN_STAND_INS_ENGINE_SCENARIO_H_
