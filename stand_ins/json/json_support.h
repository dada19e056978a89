// nlohmann-json for the stand-ins, and the few helpers they share: member
// lookup, exact integers, a strict parse that refuses duplicate members (as
// a core would), and a JSON string literal for transcripts.
#ifndef TESSARIN_STAND_INS_JSON_JSON_SUPPORT_H_
#define TESSARIN_STAND_INS_JSON_JSON_SUPPORT_H_

#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace stand_in {

// Members keep their order, so messages and transcripts read as written.
using Json = nlohmann::ordered_json;

// The member named |key|, or nullptr (also when |object| is no object).
inline const Json* Find(const Json& object, const std::string& key) {
  if (!object.is_object()) return nullptr;
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

// The integer a number stands for, when it is written as an integer and fits.
inline bool ToInt64(const Json& value, int64_t* out) {
  if (value.is_number_unsigned()) {
    if (value.get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return false;
    }
    *out = static_cast<int64_t>(value.get<uint64_t>());
    return true;
  }
  if (!value.is_number_integer()) return false;
  *out = value.get<int64_t>();
  return true;
}

inline bool ToDouble(const Json& value, double* out) {
  if (!value.is_number()) return false;
  *out = value.get<double>();
  return true;
}

// One whole document; on failure false, with where and why.
inline bool ParseJson(const std::string& text, Json* out, std::string* error) {
  std::vector<std::set<std::string>> keys;
  std::string duplicate;
  const Json::parser_callback_t note_keys = [&](int, Json::parse_event_t event, Json& parsed) {
    if (event == Json::parse_event_t::object_start) keys.emplace_back();
    if (event == Json::parse_event_t::object_end && !keys.empty()) keys.pop_back();
    if (event == Json::parse_event_t::key && !keys.empty() &&
        !keys.back().insert(parsed.get<std::string>()).second && duplicate.empty()) {
      duplicate = parsed.get<std::string>();
    }
    return true;
  };
  try {
    *out = Json::parse(text, note_keys);
  } catch (const Json::exception& failure) {
    *error = failure.what();
    return false;
  }
  if (!duplicate.empty()) {
    *error = "duplicate member \"" + duplicate + "\"";
    return false;
  }
  return true;
}

// |utf8| as a JSON string literal, quotes included; bad UTF-8 is replaced.
inline std::string Quote(const std::string& utf8) {
  return Json(utf8).dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace stand_in

#endif  // TESSARIN_STAND_INS_JSON_JSON_SUPPORT_H_
