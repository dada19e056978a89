// The one value type carried on method channels: a tagged union of 14 kinds
// whose index order is part of the wire contract and of the map-key ordering.
#ifndef TESSARIN_CHANNEL_ENCODABLE_VALUE_H_
#define TESSARIN_CHANNEL_ENCODABLE_VALUE_H_

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>
#include <variant>
#include <vector>

namespace flutter {

class EncodableValue;

using EncodableValueList = std::vector<EncodableValue>;

// An ordered map from values to values with the operations the host uses.
// Entries sit sorted in one contiguous block: a map is one allocation, not
// one per entry, and keys that arrive in order (as they do off the wire) are
// appended. Keys must not be changed through an iterator.
class EncodableValueMap {
 public:
  using key_type = EncodableValue;
  using mapped_type = EncodableValue;
  using value_type = std::pair<EncodableValue, EncodableValue>;
  using size_type = size_t;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  EncodableValueMap() = default;
  // As if each entry were emplaced in turn: the first of equivalent keys stays.
  EncodableValueMap(std::initializer_list<value_type> entries);
  EncodableValueMap(const EncodableValueMap&) = default;
  EncodableValueMap(EncodableValueMap&&) noexcept = default;
  EncodableValueMap& operator=(const EncodableValueMap&) = default;
  EncodableValueMap& operator=(EncodableValueMap&&) noexcept = default;
  ~EncodableValueMap() = default;

  // Entries in any order, as read off the wire: sorted once (stably, so the
  // first of equivalent keys stays and later ones are dropped). Linear when
  // they already are in order.
  static EncodableValueMap FromEntries(std::vector<value_type>&& entries);

  iterator begin() { return entries_.begin(); }
  iterator end() { return entries_.end(); }
  const_iterator begin() const { return entries_.begin(); }
  const_iterator end() const { return entries_.end(); }
  const_iterator cbegin() const { return entries_.cbegin(); }
  const_iterator cend() const { return entries_.cend(); }
  size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  void clear() { entries_.clear(); }

  iterator find(const EncodableValue& key);
  const_iterator find(const EncodableValue& key) const;
  size_t count(const EncodableValue& key) const;
  // Throws std::out_of_range when the key is absent.
  EncodableValue& at(const EncodableValue& key);
  const EncodableValue& at(const EncodableValue& key) const;
  // Inserts a null value under an absent key.
  EncodableValue& operator[](const EncodableValue& key);
  EncodableValue& operator[](EncodableValue&& key);
  // Leaves the map unchanged when an equivalent key is present.
  template <typename Key, typename Value>
  std::pair<iterator, bool> emplace(Key&& key, Value&& value);
  std::pair<iterator, bool> insert(value_type entry);
  iterator erase(const_iterator position) { return entries_.erase(position); }
  size_t erase(const EncodableValue& key);

  friend bool operator==(const EncodableValueMap& a, const EncodableValueMap& b);
  friend bool operator!=(const EncodableValueMap& a, const EncodableValueMap& b) {
    return !(a == b);
  }

 private:
  // The first entry whose key is not less than |key|.
  iterator LowerBound(const EncodableValue& key);
  const_iterator LowerBound(const EncodableValue& key) const;
  template <typename Key>
  EncodableValue& FindOrInsertNull(Key&& key);

  std::vector<value_type> entries_;
};

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

  // Identity is the holder, which stays put when the value holding it moves
  // (a list or map reallocating); a copy has a holder of its own.
  friend bool operator<(const CustomValue& a, const CustomValue& b) {
    return std::less<const HolderBase*>()(a.holder_.get(), b.holder_.get());
  }
  friend bool operator==(const CustomValue& a, const CustomValue& b) {
    return a.holder_ == b.holder_;
  }

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
  // A vector (and so the map) is left empty by its own move; only a string
  // is left unspecified by the library's contract and is cleared here.
  EncodableValue(EncodableValue&& other) noexcept : value_(std::move(other.value_)) {
    if (std::string* text = std::get_if<kString>(&other.value_)) text->clear();
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

  // Replaces the content with a T built right here from |args|, as assigning
  // a value of that kind would, without a value to move from.
  template <typename T, typename... Args>
  T& Emplace(Args&&... args) {
    return value_.template emplace<T>(std::forward<Args>(args)...);
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

inline bool operator==(const EncodableValueMap& a, const EncodableValueMap& b) {
  return a.entries_ == b.entries_;
}

inline EncodableValueMap::iterator EncodableValueMap::LowerBound(const EncodableValue& key) {
  // Appending in order is the common case: check the end first.
  if (entries_.empty() || EncodableValue::Compare(entries_.back().first, key) < 0) {
    return entries_.end();
  }
  size_t low = 0;
  size_t high = entries_.size() - 1;  // entries_[high] is not less than key
  while (low < high) {
    const size_t middle = low + (high - low) / 2;
    if (EncodableValue::Compare(entries_[middle].first, key) < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return entries_.begin() + static_cast<std::ptrdiff_t>(low);
}

inline EncodableValueMap::const_iterator EncodableValueMap::LowerBound(
    const EncodableValue& key) const {
  return const_cast<EncodableValueMap*>(this)->LowerBound(key);
}

inline EncodableValueMap::iterator EncodableValueMap::find(const EncodableValue& key) {
  const iterator found = LowerBound(key);
  return found != end() && EncodableValue::Compare(found->first, key) == 0 ? found : end();
}

inline EncodableValueMap::const_iterator EncodableValueMap::find(const EncodableValue& key) const {
  const const_iterator found = LowerBound(key);
  return found != end() && EncodableValue::Compare(found->first, key) == 0 ? found : end();
}

inline size_t EncodableValueMap::count(const EncodableValue& key) const {
  return find(key) != end() ? 1 : 0;
}

inline EncodableValue& EncodableValueMap::at(const EncodableValue& key) {
  const iterator found = find(key);
  if (found == end()) throw std::out_of_range("EncodableValueMap::at");
  return found->second;
}

inline const EncodableValue& EncodableValueMap::at(const EncodableValue& key) const {
  return const_cast<EncodableValueMap*>(this)->at(key);
}

template <typename Key>
EncodableValue& EncodableValueMap::FindOrInsertNull(Key&& key) {
  iterator found = LowerBound(key);
  if (found != end() && EncodableValue::Compare(found->first, key) == 0) return found->second;
  found = entries_.emplace(found, std::forward<Key>(key), EncodableValue());
  return found->second;
}

inline EncodableValue& EncodableValueMap::operator[](const EncodableValue& key) {
  return FindOrInsertNull(key);
}

inline EncodableValue& EncodableValueMap::operator[](EncodableValue&& key) {
  return FindOrInsertNull(std::move(key));
}

template <typename Key, typename Value>
std::pair<EncodableValueMap::iterator, bool> EncodableValueMap::emplace(Key&& key, Value&& value) {
  value_type entry(std::forward<Key>(key), std::forward<Value>(value));
  iterator found = LowerBound(entry.first);
  if (found != end() && EncodableValue::Compare(found->first, entry.first) == 0) {
    return {found, false};
  }
  return {entries_.insert(found, std::move(entry)), true};
}

inline std::pair<EncodableValueMap::iterator, bool> EncodableValueMap::insert(value_type entry) {
  return emplace(std::move(entry.first), std::move(entry.second));
}

inline size_t EncodableValueMap::erase(const EncodableValue& key) {
  const iterator found = find(key);
  if (found == end()) return 0;
  entries_.erase(found);
  return 1;
}

inline EncodableValueMap::EncodableValueMap(std::initializer_list<value_type> entries) {
  entries_.reserve(entries.size());
  for (const value_type& entry : entries) emplace(entry.first, entry.second);
}

}  // namespace flutter

#endif  // TESSARIN_CHANNEL_ENCODABLE_VALUE_H_
