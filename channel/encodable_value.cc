#include "channel/encodable_value.h"

#include <algorithm>

namespace flutter {

namespace {

// For doubles and floats a NaN is neither less nor greater: it compares 0.
template <typename T>
int CompareScalars(const T& a, const T& b) {
  if (a < b) return -1;
  if (b < a) return 1;
  return 0;
}

// Lexicographic: the first pair that differs decides; a proper prefix is less.
template <typename Sequence, typename ElementCompare>
int CompareSequences(const Sequence& a, const Sequence& b, ElementCompare compare) {
  auto left = a.begin();
  auto right = b.begin();
  for (; left != a.end() && right != b.end(); ++left, ++right) {
    const int order = compare(*left, *right);
    if (order != 0) return order;
  }
  if (left != a.end()) return 1;
  return right != b.end() ? -1 : 0;
}

template <typename T>
int CompareTypedLists(const std::vector<T>& a, const std::vector<T>& b) {
  return CompareSequences(a, b, CompareScalars<T>);
}

}  // namespace

EncodableValueMap EncodableValueMap::FromEntries(std::vector<value_type>&& entries) {
  const auto less = [](const value_type& a, const value_type& b) {
    return EncodableValue::Compare(a.first, b.first) < 0;
  };
  bool ordered = true;
  for (size_t i = 1; i < entries.size() && ordered; ++i) ordered = less(entries[i - 1], entries[i]);
  if (!ordered) {
    std::stable_sort(entries.begin(), entries.end(), less);
    // Of equivalent keys the first read stays. Keeping only keys strictly
    // after the last one kept also holds when NaN makes the ordering
    // inconsistent, so the result is in order and decodes again unchanged.
    size_t kept = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
      if (kept > 0 && !less(entries[kept - 1], entries[i])) continue;
      if (kept != i) entries[kept] = std::move(entries[i]);
      ++kept;
    }
    entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
  }
  EncodableValueMap map;
  map.entries_ = std::move(entries);
  return map;
}

int EncodableValue::Compare(const EncodableValue& a, const EncodableValue& b) {
  if (a.Kind() != b.Kind()) return a.Kind() < b.Kind() ? -1 : 1;
  switch (a.Kind()) {
    case kNull:
      return 0;
    case kBool:
      return CompareScalars(a.Get<bool>(), b.Get<bool>());
    case kInt32:
      return CompareScalars(a.Get<int32_t>(), b.Get<int32_t>());
    case kInt64:
      return CompareScalars(a.Get<int64_t>(), b.Get<int64_t>());
    case kDouble:
      return CompareScalars(a.Get<double>(), b.Get<double>());
    case kString: {
      // Byte order taken as unsigned, as std::string's own comparison does.
      const int order = a.Get<std::string>().compare(b.Get<std::string>());
      return order < 0 ? -1 : (order > 0 ? 1 : 0);
    }
    case kByteList:
      return CompareTypedLists(a.Get<std::vector<uint8_t>>(), b.Get<std::vector<uint8_t>>());
    case kInt32List:
      return CompareTypedLists(a.Get<std::vector<int32_t>>(), b.Get<std::vector<int32_t>>());
    case kInt64List:
      return CompareTypedLists(a.Get<std::vector<int64_t>>(), b.Get<std::vector<int64_t>>());
    case kDoubleList:
      return CompareTypedLists(a.Get<std::vector<double>>(), b.Get<std::vector<double>>());
    case kFloatList:
      return CompareTypedLists(a.Get<std::vector<float>>(), b.Get<std::vector<float>>());
    case kList:
      return CompareSequences(a.Get<EncodableValueList>(), b.Get<EncodableValueList>(), Compare);
    case kMap:
      return CompareSequences(
          a.Get<EncodableValueMap>(), b.Get<EncodableValueMap>(),
          [](const EncodableValueMap::value_type& x, const EncodableValueMap::value_type& y) {
            const int order = Compare(x.first, y.first);
            return order != 0 ? order : Compare(x.second, y.second);
          });
    case kCustom:
    default:
      return CompareScalars(a.Get<CustomValue>(), b.Get<CustomValue>());
  }
}

}  // namespace flutter
