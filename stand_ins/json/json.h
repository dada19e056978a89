// A small strict JSON reader and writer for the stand-ins: the scripted UI's
// scenarios and transcripts, and the stand-in core's configuration check.
// Object members keep their order, and numbers keep their literal text, so
// that "1" and "1.0" stay different kinds.
#ifndef TESSARIN_STAND_INS_JSON_JSON_H_
#define TESSARIN_STAND_INS_JSON_JSON_H_

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace json {

struct Value {
  enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };

  Kind kind = Kind::kNull;
  bool boolean = false;
  std::string text;  // a string's contents, or a number exactly as written
  std::vector<Value> items;
  std::vector<std::pair<std::string, Value>> members;

  bool Is(Kind k) const { return kind == k; }
  // The first member named |key|, or nullptr (also when not an object).
  const Value* Find(const std::string& key) const;
  // A number written without fraction or exponent.
  bool IsInteger() const;
};

// Parses one whole document; on failure returns false and says where and why.
bool Parse(const std::string& text, Value* out, std::string* error);

// The integer a number stands for, when it is an integer that fits.
bool ToInt64(const Value& value, int64_t* out);
bool ToDouble(const Value& value, double* out);

// |utf8| as a JSON string literal, quotes included.
std::string Quote(const std::string& utf8);

}  // namespace json

#endif  // TESSARIN_STAND_INS_JSON_JSON_H_
