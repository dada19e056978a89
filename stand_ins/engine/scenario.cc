#include "stand_ins/engine/scenario.h"

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>

#include "channel/byte_buffer_streams.h"
#include "channel/method_call.h"
#include "channel/standard_codec_serializer.h"
#include "channel/standard_method_codec.h"

namespace stand_in {
namespace {

using flutter::EncodableValue;

std::string DoubleToJson(double value) {
  if (!std::isfinite(value)) {
    // JSON has no literal for these; a tagged string keeps the kind.
    return std::string("{\"$double\": \"") +
           (std::isnan(value) ? "nan"
            : value > 0       ? "inf"
                              : "-inf") +
           "\"}";
  }
  char text[40];
  std::snprintf(text, sizeof(text), "%.17g", value);
  std::string out = text;
  if (out.find_first_of(".eE") == std::string::npos) out += ".0";
  return out;
}

template <typename T, typename Format>
std::string TypedList(const char* tag, const std::vector<T>& items, Format format) {
  std::string out = std::string("{\"") + tag + "\": [";
  for (size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out += ", ";
    out += format(items[i]);
  }
  return out + "]}";
}

bool Forced(const Json& object, EncodableValue* out, std::string* error) {
  const std::string& tag = object.items().begin().key();
  const Json& inner = object.front();
  int64_t integer = 0;
  if (tag == "$int32") {
    if (!ToInt64(inner, &integer) || integer < std::numeric_limits<int32_t>::min() ||
        integer > std::numeric_limits<int32_t>::max()) {
      *error = "$int32 needs an integer in 32-bit range";
      return false;
    }
    *out = EncodableValue(static_cast<int32_t>(integer));
    return true;
  }
  if (tag == "$int64") {
    if (!ToInt64(inner, &integer)) {
      *error = "$int64 needs an integer in 64-bit range";
      return false;
    }
    *out = EncodableValue(integer);
    return true;
  }
  if (tag == "$double") {
    double number = 0;
    if (inner.is_string()) {
      if (inner.get_ref<const std::string&>() == "nan")
        number = std::numeric_limits<double>::quiet_NaN();
      else if (inner.get_ref<const std::string&>() == "inf")
        number = std::numeric_limits<double>::infinity();
      else if (inner.get_ref<const std::string&>() == "-inf")
        number = -std::numeric_limits<double>::infinity();
      else {
        *error = "$double needs a number";
        return false;
      }
    } else if (!ToDouble(inner, &number)) {
      *error = "$double needs a number";
      return false;
    }
    *out = EncodableValue(number);
    return true;
  }
  // $bytes
  std::vector<uint8_t> bytes;
  if (!inner.is_string() || !FromHex(inner.get<std::string>(), &bytes)) {
    *error = "$bytes needs a hex string";
    return false;
  }
  *out = EncodableValue(std::move(bytes));
  return true;
}

bool IsForcingObject(const Json& value) {
  if (!value.is_object() || value.size() != 1) return false;
  const std::string& tag = value.items().begin().key();
  return tag == "$int32" || tag == "$int64" || tag == "$double" || tag == "$bytes";
}

std::string ReadableMethod(const ScenarioStep& step) {
  return step.kind == ScenarioStep::Kind::kCall ? Quote(step.method) : "null";
}

}  // namespace

std::string ToHex(const std::vector<uint8_t>& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (const uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

bool FromHex(const std::string& hex, std::vector<uint8_t>* out) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::string digits;
  for (const char c : hex) {
    if (c != ' ') digits.push_back(c);
  }
  if (digits.size() % 2 != 0) return false;
  out->clear();
  for (size_t i = 0; i < digits.size(); i += 2) {
    const int high = nibble(digits[i]);
    const int low = nibble(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    out->push_back(static_cast<uint8_t>(high * 16 + low));
  }
  return true;
}

bool ValueFromJson(const Json& json, EncodableValue* out, std::string* error) {
  switch (json.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      *out = EncodableValue();
      return true;
    case Json::value_t::boolean:
      *out = EncodableValue(json.get<bool>());
      return true;
    case Json::value_t::string:
      *out = EncodableValue(json.get<std::string>());
      return true;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float: {
      int64_t integer = 0;
      if (json.is_number_integer()) {
        if (!ToInt64(json, &integer)) {
          *error = "integer out of 64-bit range: " + json.dump();
          return false;
        }
        if (integer >= std::numeric_limits<int32_t>::min() &&
            integer <= std::numeric_limits<int32_t>::max()) {
          *out = EncodableValue(static_cast<int32_t>(integer));
        } else {
          *out = EncodableValue(integer);
        }
        return true;
      }
      double number = 0;
      ToDouble(json, &number);
      *out = EncodableValue(number);
      return true;
    }
    case Json::value_t::array: {
      flutter::EncodableValueList list;
      for (const Json& item : json) {
        list.emplace_back();
        if (!ValueFromJson(item, &list.back(), error)) return false;
      }
      *out = EncodableValue(std::move(list));
      return true;
    }
    case Json::value_t::object: {
      if (IsForcingObject(json)) return Forced(json, out, error);
      flutter::EncodableValueMap map;
      for (const auto& member : json.items()) {
        EncodableValue value;
        if (!ValueFromJson(member.value(), &value, error)) return false;
        map[EncodableValue(member.key())] = std::move(value);
      }
      *out = EncodableValue(std::move(map));
      return true;
    }
    case Json::value_t::binary:
      break;  // never parsed from text
  }
  return false;
}

std::string ValueToJson(const EncodableValue& value) {
  switch (value.Kind()) {
    case EncodableValue::kNull:
      return "null";
    case EncodableValue::kBool:
      return value.Get<bool>() ? "true" : "false";
    case EncodableValue::kInt32:
      return std::to_string(value.Get<int32_t>());
    case EncodableValue::kInt64:
      return "{\"$int64\": " + std::to_string(value.Get<int64_t>()) + "}";
    case EncodableValue::kDouble:
      return DoubleToJson(value.Get<double>());
    case EncodableValue::kString:
      return Quote(value.Get<std::string>());
    case EncodableValue::kByteList:
      return "{\"$bytes\": \"" + ToHex(value.Get<std::vector<uint8_t>>()) + "\"}";
    case EncodableValue::kInt32List:
      return TypedList("$int32list", value.Get<std::vector<int32_t>>(),
                       [](int32_t v) { return std::to_string(v); });
    case EncodableValue::kInt64List:
      return TypedList("$int64list", value.Get<std::vector<int64_t>>(),
                       [](int64_t v) { return std::to_string(v); });
    case EncodableValue::kDoubleList:
      return TypedList("$float64list", value.Get<std::vector<double>>(), DoubleToJson);
    case EncodableValue::kFloatList:
      return TypedList("$float32list", value.Get<std::vector<float>>(),
                       [](float v) { return DoubleToJson(v); });
    case EncodableValue::kList: {
      std::string out = "[";
      const auto& list = value.Get<flutter::EncodableValueList>();
      for (size_t i = 0; i < list.size(); ++i) {
        if (i > 0) out += ", ";
        out += ValueToJson(list[i]);
      }
      return out + "]";
    }
    case EncodableValue::kMap: {
      const auto& map = value.Get<flutter::EncodableValueMap>();
      bool string_keys = true;
      for (const auto& entry : map) string_keys = string_keys && entry.first.TryGet<std::string>();
      std::string out = string_keys ? "{" : "{\"$map\": [";
      bool first = true;
      for (const auto& [key, item] : map) {
        if (!first) out += ", ";
        first = false;
        out += string_keys ? Quote(key.Get<std::string>()) + ": " + ValueToJson(item)
                           : "[" + ValueToJson(key) + ", " + ValueToJson(item) + "]";
      }
      return out + (string_keys ? "}" : "]}");
    }
    default:
      return "null";  // custom values never cross this channel
  }
}

bool ParseScenario(const std::string& text, std::vector<ScenarioStep>* steps, std::string* error) {
  Json document;
  if (!ParseJson(text, &document, error)) return false;
  const Json* list = Find(document, "steps");
  if (list == nullptr || !list->is_array()) {
    *error = "a scenario is {\"steps\": [...]}";
    return false;
  }
  steps->clear();
  for (size_t i = 0; i < list->size(); ++i) {
    const Json& item = (*list)[i];
    ScenarioStep step;
    const std::string where = "step " + std::to_string(i) + ": ";
    if (const Json* call = Find(item, "call")) {
      if (!call->is_string()) {
        *error = where + "\"call\" needs a method name";
        return false;
      }
      step.kind = ScenarioStep::Kind::kCall;
      step.method = call->get<std::string>();
      if (const Json* args = Find(item, "args")) {
        flutter::EncodableValue value;
        if (!ValueFromJson(*args, &value, error)) {
          *error = where + *error;
          return false;
        }
        step.args = std::move(value);
      }
    } else if (const Json* raw = Find(item, "raw")) {
      step.kind = ScenarioStep::Kind::kRaw;
      if (!raw->is_string() || !FromHex(raw->get<std::string>(), &step.raw)) {
        *error = where + "\"raw\" needs a hex string";
        return false;
      }
    } else if (const Json* wait = Find(item, "wait_ms")) {
      step.kind = ScenarioStep::Kind::kWait;
      if (!ToInt64(*wait, &step.wait_ms) || step.wait_ms < 0) {
        *error = where + "\"wait_ms\" needs a non-negative integer";
        return false;
      }
    } else if (const Json* block = Find(item, "block_ms")) {
      step.kind = ScenarioStep::Kind::kBlock;
      if (!ToInt64(*block, &step.wait_ms) || step.wait_ms < 0) {
        *error = where + "\"block_ms\" needs a non-negative integer";
        return false;
      }
    } else if (Find(item, "terminate_core") != nullptr) {
      step.kind = ScenarioStep::Kind::kTerminateCore;
    } else if (Find(item, "crash") != nullptr) {
      step.kind = ScenarioStep::Kind::kCrash;
      const Json* locked = Find(item, "heap_locked");
      step.heap_locked = locked != nullptr && locked->is_boolean() && locked->get<bool>();
      const Json* survived = Find(item, "survived");
      step.survived = survived != nullptr && survived->is_boolean() && survived->get<bool>();
    } else if (Find(item, "abort") != nullptr) {
      step.kind = ScenarioStep::Kind::kAbort;
    } else if (Find(item, "close") != nullptr) {
      step.kind = ScenarioStep::Kind::kClose;
    } else {
      *error = where + "unknown step";
      return false;
    }
    if (const Json* wait_reply = Find(item, "wait_reply")) {
      if (!wait_reply->is_boolean()) {
        *error = where + "\"wait_reply\" needs true or false";
        return false;
      }
      step.wait_reply = wait_reply->get<bool>();
    }
    steps->push_back(std::move(step));
  }
  return true;
}

std::vector<uint8_t> StepMessage(const ScenarioStep& step) {
  if (step.kind == ScenarioStep::Kind::kRaw) return step.raw;
  std::unique_ptr<EncodableValue> args;
  if (step.args) args = std::make_unique<EncodableValue>(*step.args);
  const flutter::MethodCall call(step.method, std::move(args));
  return *flutter::StandardMethodCodec::SharedInstance().EncodeCall(call);
}

std::string ReplyToJson(const std::vector<uint8_t>* reply) {
  if (reply == nullptr) return "null";
  if (reply->empty()) return "\"notImplemented\"";
  const auto& serializer = flutter::StandardCodecSerializer::SharedInstance();
  flutter::ByteBufferStreamReader reader(reply->data(), reply->size());
  const uint8_t envelope = reader.ReadByte();
  if (envelope == 0) {
    return "{\"success\": " + ValueToJson(serializer.ReadNextValue(&reader)) + "}";
  }
  if (envelope == 1) {
    const EncodableValue code = serializer.ReadNextValue(&reader);
    const EncodableValue message = serializer.ReadNextValue(&reader);
    const EncodableValue details = serializer.ReadNextValue(&reader);
    return "{\"error\": {\"code\": " + ValueToJson(code) +
           ", \"message\": " + ValueToJson(message) + ", \"details\": " + ValueToJson(details) +
           "}}";
  }
  return "\"undecodable\"";
}

std::string EngineLine(const std::string& assets, const std::string& icu, const std::string& aot,
                       const std::vector<std::string>& arguments) {
  std::string list = "[";
  for (size_t i = 0; i < arguments.size(); ++i) {
    if (i > 0) list += ", ";
    list += Quote(arguments[i]);
  }
  list += "]";
  return "{\"engine\": {\"assets\": " + Quote(assets) + ", \"icu\": " + Quote(icu) +
         ", \"aot\": " + Quote(aot) + ", \"arguments\": " + list + "}}";
}

std::string StepLine(size_t index, const ScenarioStep& step, const std::vector<uint8_t>& sent,
                     const std::vector<uint8_t>* reply, const ProxyValues& proxy,
                     int64_t elapsed_ms) {
  const std::string enable = proxy.enable ? std::to_string(*proxy.enable) : "null";
  const std::string server = proxy.server ? Quote(*proxy.server) : "null";
  const std::string overrides = proxy.override_list ? Quote(*proxy.override_list) : "null";
  return "{\"step\": " + std::to_string(index) + ", \"call\": " + ReadableMethod(step) +
         ", \"sent\": \"" + ToHex(sent) +
         "\", \"bytes\": " + (reply ? "\"" + ToHex(*reply) + "\"" : std::string("null")) +
         ", \"reply\": " + ReplyToJson(reply) + ", \"proxy\": {\"ProxyEnable\": " + enable +
         ", \"ProxyServer\": " + server + ", \"ProxyOverride\": " + overrides +
         "}, \"elapsed_ms\": " + std::to_string(elapsed_ms) + "}";
}

bool StatusFromReply(const std::vector<uint8_t>& reply, ShownStatus* out) {
  if (reply.empty()) return false;
  const auto& serializer = flutter::StandardCodecSerializer::SharedInstance();
  flutter::ByteBufferStreamReader reader(reply.data(), reply.size());
  const uint8_t envelope = reader.ReadByte();
  if (envelope == 1) {
    const EncodableValue code = serializer.ReadNextValue(&reader);
    const EncodableValue message = serializer.ReadNextValue(&reader);
    out->stage = "error";
    out->message = (code.TryGet<std::string>() ? code.Get<std::string>() + ": " : std::string()) +
                   (message.TryGet<std::string>() ? message.Get<std::string>() : std::string());
    out->session_id.clear();
    return true;
  }
  if (envelope != 0) return false;
  const EncodableValue value = serializer.ReadNextValue(&reader);
  const auto* map = value.TryGet<flutter::EncodableValueMap>();
  if (map == nullptr) return false;
  auto text = [map](const char* key) -> const std::string* {
    const auto found = map->find(EncodableValue(key));
    return found == map->end() ? nullptr : found->second.TryGet<std::string>();
  };
  const std::string* stage = text("stage");
  if (stage == nullptr) return false;  // readiness answers change nothing shown
  out->stage = *stage;
  out->message = text("message") ? *text("message") : std::string();
  out->session_id = text("sessionId") ? *text("sessionId") : std::string();
  return true;
}

}  // namespace stand_in
