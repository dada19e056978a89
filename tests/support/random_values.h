// Random value trees of every encodable kind (custom excepted), for
// round-trip properties. Deterministic for a given seed.
#ifndef TESSARIN_TESTS_SUPPORT_RANDOM_VALUES_H_
#define TESSARIN_TESTS_SUPPORT_RANDOM_VALUES_H_

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "channel/encodable_value.h"

namespace tessarin_test {

class RandomValues {
 public:
  explicit RandomValues(uint64_t seed) : rng_(seed) {}

  flutter::EncodableValue Next(int depth = 0) {
    const int kind = Uniform(0, depth >= 4 ? 9 : 12);
    switch (kind) {
      case 0:
        return flutter::EncodableValue();
      case 1:
        return flutter::EncodableValue(Uniform(0, 1) == 1);
      case 2:
        return flutter::EncodableValue(static_cast<int32_t>(rng_()));
      case 3:
        return flutter::EncodableValue(static_cast<int64_t>(rng_()));
      case 4:
        return flutter::EncodableValue(Double());
      case 5:
        return flutter::EncodableValue(Text());
      case 6:
        return flutter::EncodableValue(Vector<uint8_t>());
      case 7:
        return flutter::EncodableValue(Vector<int32_t>());
      case 8:
        return flutter::EncodableValue(Vector<int64_t>());
      case 9: {
        std::vector<double> values(static_cast<size_t>(Length()));
        for (double& v : values) v = Double();
        return Uniform(0, 1)
                   ? flutter::EncodableValue(std::move(values))
                   : flutter::EncodableValue(std::vector<float>(values.begin(), values.end()));
      }
      case 10: {
        flutter::EncodableValueList list;
        for (int i = Count(depth); i > 0; --i) list.push_back(Next(depth + 1));
        return flutter::EncodableValue(std::move(list));
      }
      default: {
        flutter::EncodableValueMap map;
        for (int i = Count(depth); i > 0; --i) map.emplace(Next(depth + 1), Next(depth + 1));
        return flutter::EncodableValue(std::move(map));
      }
    }
  }

 private:
  int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
  // Mostly short, sometimes past the one-byte size prefix.
  int Length() { return Uniform(0, 9) == 0 ? Uniform(250, 300) : Uniform(0, 6); }
  // Containers stay small below the top so that trees stay small.
  int Count(int depth) { return depth == 0 ? Length() : Uniform(0, 4); }
  double Double() { return std::uniform_real_distribution<double>(-1e9, 1e9)(rng_); }
  std::string Text() {
    std::string text(static_cast<size_t>(Length()), '\0');
    for (char& c : text) c = static_cast<char>(Uniform(0, 255));
    return text;
  }
  template <typename T>
  std::vector<T> Vector() {
    std::vector<T> values(static_cast<size_t>(Length()));
    for (T& v : values) v = static_cast<T>(rng_());
    return values;
  }

  std::mt19937_64 rng_;
};

}  // namespace tessarin_test

#endif  // TESSARIN_TESTS_SUPPORT_RANDOM_VALUES_H_
