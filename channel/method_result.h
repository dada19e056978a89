// The one-shot answer to a method call: exactly one of the three is meant to
// be called; implementations decide what a second answer does.
#ifndef TESSARIN_CHANNEL_METHOD_RESULT_H_
#define TESSARIN_CHANNEL_METHOD_RESULT_H_

#include <string>

#include "channel/encodable_value.h"

namespace flutter {

class MethodResult {
 public:
  MethodResult() = default;
  virtual ~MethodResult() = default;
  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  // A null pointer means "no value"; it is sent as null.
  virtual void Success(const EncodableValue* result) = 0;
  virtual void Error(const std::string& code, const std::string& message,
                     const EncodableValue* details) = 0;
  virtual void NotImplemented() = 0;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_METHOD_RESULT_H_
