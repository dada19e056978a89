// The one value type carried on method channels: a tagged union of 14 kinds
// whose index order is part of the wire contract and of the map-key ordering.
#ifndef TESSARIN_CHANNEL_ENCODABLE_VALUE_H_
#define TESSARIN_CHANNEL_ENCODABLE_VALUE_H_

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;

using EncodableValueList = std::vector<EncodableValue>;
using EncodableValueMap = std::map<EncodableValue, EncodableValue>;

// Holds any copyable object. The standard codec cannot encode it; in maps it
// orders by the address of the holder, since the object itself has no order.
class CustomValue {
 public:
  template <typename T>
  explicit CustomValue(T object) : holder_(std::make_unique<Holder<T>>(std::move(object))) {}

  CustomValue(const CustomValue& other)
      : holder_(other.holder_ ? other.holder_->Clone() : nullptr) {}
  CustomValue(CustomValue&& other) noexcept = default;
  CustomValue& operator=(const CustomValue& other) {
    if (this != &other) holder_ = other.holder_ ? other.holder_->Clone() : nullptr;
    return *this;
  }
  CustomValue& operator=(CustomValue&& other) noexcept = default;
  ~CustomValue() = default;

  // The held object when it is of type T, otherwise nullptr.
  template <typename T>
  const T* TryGet() const {
    if (!holder_ || holder_->Type() != typeid(T)) return nullptr;
    return &static_cast<const Holder<T>*>(holder_.get())->object;
  }

  friend bool operator<(const CustomValue& a, const CustomValue& b) {
    return std::less<const CustomValue*>()(&a, &b);
  }
  friend bool operator==(const CustomValue& a, const CustomValue& b) { return &a == &b; }

 private:
  struct HolderBase {
    virtual ~HolderBase() = default;
    virtual std::unique_ptr<HolderBase> Clone() const = 0;
    virtual const std::type_info& Type() const = 0;
  };
  template <typename T>
  struct Holder final : HolderBase {
    explicit Holder(T value) : object(std::move(value)) {}
    std::unique_ptr<HolderBase> Clone() const override { return std::make_unique<Holder>(object); }
    const std::type_info& Type() const override { return typeid(T); }
    T object;
  };

  std::unique_ptr<HolderBase> holder_;
};

// Alternative order is fixed: index 0 null ... 13 float list.
using EncodableVariant =
    std::variant<std::monostate, bool, int32_t, int64_t, double, std::string, std::vector<uint8_t>,
                 std::vector<int32_t>, std::vector<int64_t>, std::vector<double>,
                 EncodableValueList, EncodableValueMap, CustomValue, std::vector<float>>;

class EncodableValue {
 public:
  enum Index : size_t {
    kNull = 0,
    kBool,
    kInt32,
    kInt64,
    kDouble,
    kString,
    kByteList,
    kInt32List,
    kInt64List,
    kDoubleList,
    kList,
    kMap,
    kCustom,
    kFloatList,
  };

  EncodableValue() = default;
  EncodableValue(bool v) : value_(std::in_place_index<kBool>, v) {}
  EncodableValue(int32_t v) : value_(std::in_place_index<kInt32>, v) {}
  EncodableValue(int64_t v) : value_(std::in_place_index<kInt64>, v) {}
  EncodableValue(double v) : value_(std::in_place_index<kDouble>, v) {}
  // A literal must become a string, never a bool through pointer conversion.
  EncodableValue(const char* v) : value_(std::in_place_index<kString>, v) {}
  EncodableValue(const std::string& v) : value_(std::in_place_index<kString>, v) {}
  EncodableValue(std::string&& v) : value_(std::in_place_index<kString>, std::move(v)) {}
  EncodableValue(std::vector<uint8_t> v) : value_(std::in_place_index<kByteList>, std::move(v)) {}
  EncodableValue(std::vector<int32_t> v) : value_(std::in_place_index<kInt32List>, std::move(v)) {}
  EncodableValue(std::vector<int64_t> v) : value_(std::in_place_index<kInt64List>, std::move(v)) {}
  EncodableValue(std::vector<double> v) : value_(std::in_place_index<kDoubleList>, std::move(v)) {}
  EncodableValue(EncodableValueList v) : value_(std::in_place_index<kList>, std::move(v)) {}
  EncodableValue(const EncodableValueMap& v) : value_(std::in_place_index<kMap>, v) {}
  EncodableValue(EncodableValueMap&& v) : value_(std::in_place_index<kMap>, std::move(v)) {}
  EncodableValue(CustomValue v) : value_(std::in_place_index<kCustom>, std::move(v)) {}
  EncodableValue(std::vector<float> v) : value_(std::in_place_index<kFloatList>, std::move(v)) {}

  EncodableValue(const EncodableValue&) = default;
  EncodableValue(EncodableValue&& other) noexcept : value_(std::move(other.value_)) {
    other.ClearMovedFrom();
  }
  EncodableValue& operator=(const EncodableValue&) = default;
  EncodableValue& operator=(EncodableValue&& other) noexcept {
    if (this != &other) {
      value_ = std::move(other.value_);
      other.ClearMovedFrom();
    }
    return *this;
  }
  ~EncodableValue() = default;

  size_t Kind() const { return value_.index(); }
  bool IsNull() const { return value_.index() == kNull; }

  // Throws std::bad_variant_access ("bad variant access") for another kind.
  template <typename T>
  const T& Get() const {
    if (const T* p = std::get_if<T>(&value_)) return *p;
    throw std::bad_variant_access();
  }
  template <typename T>
  T& Get() {
    if (T* p = std::get_if<T>(&value_)) return *p;
    throw std::bad_variant_access();
  }

  template <typename T>
  const T* TryGet() const {
    return std::get_if<T>(&value_);
  }
  template <typename T>
  T* TryGet() {
    return std::get_if<T>(&value_);
  }

  const EncodableVariant& Variant() const { return value_; }

  // Three-way ordering of map keys: negative, zero (equivalent) or positive.
  // Each level is compared once, so the cost is the size of the smaller value
  // whatever the nesting (a two-way less-than would compare keys twice per
  // level and grow exponentially with maps nested as keys of maps).
  static int Compare(const EncodableValue& a, const EncodableValue& b);

  friend bool operator<(const EncodableValue& a, const EncodableValue& b) {
    return Compare(a, b) < 0;
  }
  friend bool operator==(const EncodableValue& a, const EncodableValue& b) {
    return a.value_ == b.value_;
  }
  friend bool operator!=(const EncodableValue& a, const EncodableValue& b) { return !(a == b); }

 private:
  // A moved-from string, vector or map is left empty, whatever the library does.
  void ClearMovedFrom() noexcept {
    std::visit(
        [](auto& content) {
          using T = std::decay_t<decltype(content)>;
          if constexpr (!std::is_same_v<T, std::monostate> && !std::is_same_v<T, bool> &&
                        !std::is_same_v<T, int32_t> && !std::is_same_v<T, int64_t> &&
                        !std::is_same_v<T, double> && !std::is_same_v<T, CustomValue>) {
            content.clear();
          }
        },
        value_);
  }

  EncodableVariant value_;
};

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_ENCODABLE_VALUE_H_
