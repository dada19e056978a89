// A decoded method call: the name and the (possibly absent) arguments.
#ifndef TESSARIN_CHANNEL_METHOD_CALL_H_
#define TESSARIN_CHANNEL_METHOD_CALL_H_

#include <memory>
#include <string>
#include <utility>

#include "channel/encodable_value.h"

namespace flutter {

class MethodCall {
 public:
  MethodCall(std::string method_name, std::unique_ptr<EncodableValue> arguments)
      : method_name_(std::move(method_name)), arguments_(std::move(arguments)) {}
  virtual ~MethodCall() = default;
  MethodCall(const MethodCall&) = delete;
  MethodCall& operator=(const MethodCall&) = delete;

  const std::string& MethodName() const { return method_name_; }
  // nullptr when the call carries no arguments.
  const EncodableValue* Arguments() const { return arguments_.get(); }

 private:
  std::string method_name_;
  std::unique_ptr<EncodableValue> arguments_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_METHOD_CALL_H_
