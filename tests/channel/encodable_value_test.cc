#include "channel/encodable_value.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace flutter {
namespace {

TEST(EncodableValueTest, KindsAndConstruction) {
  EXPECT_EQ(EncodableValue().Kind(), 0u);
  EXPECT_TRUE(EncodableValue().IsNull());
  EncodableValue literal("status");
  ASSERT_EQ(literal.Kind(), EncodableValue::kString);
  EXPECT_EQ(literal.Get<std::string>().size(), 6u);
  EXPECT_EQ(EncodableValue(true).Kind(), 1u);
  EXPECT_EQ(EncodableValue(int32_t{1}).Kind(), 2u);
  EXPECT_EQ(EncodableValue(int64_t{1}).Kind(), 3u);
  EXPECT_EQ(EncodableValue(1.5).Kind(), 4u);
  EXPECT_EQ(EncodableValue(std::vector<uint8_t>{}).Kind(), 6u);
  EXPECT_EQ(EncodableValue(std::vector<int32_t>{}).Kind(), 7u);
  EXPECT_EQ(EncodableValue(std::vector<int64_t>{}).Kind(), 8u);
  EXPECT_EQ(EncodableValue(std::vector<double>{}).Kind(), 9u);
  EXPECT_EQ(EncodableValue(EncodableValueList{}).Kind(), 10u);
  EXPECT_EQ(EncodableValue(EncodableValueMap{}).Kind(), 11u);
  EXPECT_EQ(EncodableValue(CustomValue(42)).Kind(), 12u);
  EXPECT_EQ(EncodableValue(std::vector<float>{}).Kind(), 13u);
}

TEST(EncodableValueTest, WrongKindAccess) {
  EncodableValue wide(int64_t{7});
  EXPECT_EQ(wide.TryGet<int32_t>(), nullptr);
  ASSERT_NE(wide.TryGet<int64_t>(), nullptr);
  try {
    wide.Get<int32_t>();
    FAIL() << "expected bad_variant_access";
  } catch (const std::bad_variant_access& e) {
    EXPECT_STREQ(e.what(), "bad variant access");
  }
}

TEST(EncodableValueTest, CustomValueCopiesItsObject) {
  EncodableValue value(CustomValue(std::string("payload")));
  EncodableValue copy = value;
  const auto* original = value.Get<CustomValue>().TryGet<std::string>();
  const auto* copied = copy.Get<CustomValue>().TryGet<std::string>();
  ASSERT_NE(original, nullptr);
  ASSERT_NE(copied, nullptr);
  EXPECT_EQ(*copied, "payload");
  EXPECT_NE(original, copied);
  EXPECT_EQ(value.Get<CustomValue>().TryGet<int>(), nullptr);
}

TEST(EncodableValueTest, MapOrdersKindsThenContents) {
  EncodableValueMap map;
  map[EncodableValue("path")] = EncodableValue(1);
  map[EncodableValue(int64_t{0})] = EncodableValue(2);
  map[EncodableValue(int32_t{7})] = EncodableValue(3);
  map[EncodableValue()] = EncodableValue(4);
  map[EncodableValue(true)] = EncodableValue(5);
  map[EncodableValue(false)] = EncodableValue(6);
  map[EncodableValue(int32_t{-1})] = EncodableValue(7);
  std::vector<int32_t> order;
  for (const auto& entry : map) order.push_back(entry.second.Get<int32_t>());
  EXPECT_EQ(order, (std::vector<int32_t>{4, 6, 5, 7, 3, 2, 1}));

  EncodableValueMap widths;
  widths.emplace(EncodableValue(int64_t{1}), EncodableValue("wide"));
  widths.emplace(EncodableValue(int32_t{1}), EncodableValue("narrow"));
  ASSERT_EQ(widths.size(), 2u);
  EXPECT_EQ(widths.begin()->second.Get<std::string>(), "narrow");
}

TEST(EncodableValueTest, StringKeysCompareAsUnsignedBytesAndPrefixesFirst) {
  EncodableValueMap map;
  map[EncodableValue("connectionConfig")] = EncodableValue();
  map[EncodableValue("connect")] = EncodableValue();
  map[EncodableValue("INVALID_ARGUMENT")] = EncodableValue();
  map[EncodableValue("\xC3\xA9")] = EncodableValue();  // above every ASCII byte
  std::vector<std::string> keys;
  for (const auto& entry : map) keys.push_back(entry.first.Get<std::string>());
  EXPECT_EQ(keys, (std::vector<std::string>{"INVALID_ARGUMENT", "connect", "connectionConfig",
                                            "\xC3\xA9"}));
  EXPECT_TRUE(EncodableValue(std::vector<uint8_t>{1}) < EncodableValue(std::vector<uint8_t>{0xFF}));
  EXPECT_TRUE(EncodableValue(std::vector<uint8_t>{1}) < EncodableValue(std::vector<uint8_t>{1, 0}));
}

TEST(EncodableValueTest, NanIsEquivalentToEveryDouble) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EncodableValueMap map;
  map.emplace(EncodableValue(1.0), EncodableValue("first"));
  map.emplace(EncodableValue(nan), EncodableValue("second"));
  EXPECT_EQ(map.size(), 1u);
  // In lists the pairs that are neither less are passed over.
  EXPECT_TRUE(EncodableValue(std::vector<double>{nan, 1.0}) <
              EncodableValue(std::vector<double>{0.0, 2.0}));
  EXPECT_FALSE(EncodableValue(std::vector<double>{nan}) < EncodableValue(std::vector<double>{0.0}));
}

TEST(EncodableValueTest, ListsAndMapsCompareLexicographically) {
  EncodableValueList shorter{EncodableValue(1)};
  EncodableValueList longer{EncodableValue(1), EncodableValue()};
  EXPECT_TRUE(EncodableValue(shorter) < EncodableValue(longer));
  EncodableValueMap a{{EncodableValue("k"), EncodableValue(1)}};
  EncodableValueMap b{{EncodableValue("k"), EncodableValue(2)}};
  EXPECT_TRUE(EncodableValue(a) < EncodableValue(b));
  EXPECT_FALSE(EncodableValue(b) < EncodableValue(a));
  EXPECT_TRUE(EncodableValue(std::vector<int32_t>{-5}) < EncodableValue(std::vector<int32_t>{3}));
}

TEST(EncodableValueTest, CustomValuesOrderByIdentity) {
  EncodableValueList two{EncodableValue(CustomValue(1)), EncodableValue(CustomValue(1))};
  const EncodableValue& first = two[0];
  const EncodableValue& second = two[1];
  EXPECT_NE(first < second, second < first) << "distinct objects, strictly ordered";
  EXPECT_FALSE(first < first);
}

// Elements move when a list or map grows; the order between two custom
// values must not move with them.
TEST(EncodableValueTest, CustomIdentityStaysWhenStorageMoves) {
  EncodableValueList list{EncodableValue(CustomValue(1)), EncodableValue(CustomValue(2))};
  const bool one_before_two = list[0] < list[1];
  std::swap(list[0], list[1]);  // each value now sits where the other was
  EXPECT_EQ(list[1] < list[0], one_before_two);
  EXPECT_NE(list[0] < list[1], list[1] < list[0]);

  EncodableValueMap map;
  for (int i = 0; i < 8; ++i) map.emplace(EncodableValue(CustomValue(i)), EncodableValue(i));
  for (int i = 0; i < 100; ++i) map[EncodableValue(std::to_string(i))] = EncodableValue(i);
  ASSERT_EQ(map.size(), 108u);
  for (auto it = map.begin(); it != map.end(); ++it) {
    if (it != map.begin()) {
      EXPECT_LT(EncodableValue::Compare(std::prev(it)->first, it->first), 0);
    }
    EXPECT_EQ(map.find(it->first), it);
  }
}

TEST(EncodableValueTest, EmplaceKeepsFirstAndIndexInsertsNull) {
  EncodableValueMap map;
  map.emplace(EncodableValue("port"), EncodableValue(1));
  map.emplace(EncodableValue("port"), EncodableValue(2));
  EXPECT_EQ(map[EncodableValue("port")].Get<int32_t>(), 1);
  EXPECT_TRUE(map[EncodableValue("absent")].IsNull());
  EXPECT_EQ(map.size(), 2u);
}

TEST(EncodableValueTest, CopiesAreDeepAndMovesLeaveEmpty) {
  EncodableValueMap inner{{EncodableValue("host"), EncodableValue("a")}};
  EncodableValue original(EncodableValueMap{
      {EncodableValue("connectionConfig"), EncodableValue(inner)},
      {EncodableValue("list"), EncodableValue(EncodableValueList{EncodableValue(1)})}});
  EncodableValue copy = original;
  auto& copied_map = copy.Get<EncodableValueMap>();
  copied_map[EncodableValue("connectionConfig")].Get<EncodableValueMap>()[EncodableValue("host")] =
      EncodableValue("b");
  copied_map[EncodableValue("list")].Get<EncodableValueList>().push_back(EncodableValue());
  const auto& kept = original.Get<EncodableValueMap>();
  EXPECT_EQ(kept.at(EncodableValue("connectionConfig"))
                .Get<EncodableValueMap>()
                .at(EncodableValue("host"))
                .Get<std::string>(),
            "a");
  EXPECT_EQ(kept.at(EncodableValue("list")).Get<EncodableValueList>().size(), 1u);

  EncodableValue moved = std::move(copy);
  EXPECT_EQ(copy.Kind(), EncodableValue::kMap);  // NOLINT(bugprone-use-after-move)
  EXPECT_TRUE(copy.Get<EncodableValueMap>().empty());
  EncodableValue text("abc");
  EncodableValue taken = std::move(text);
  EXPECT_TRUE(text.Get<std::string>().empty());  // NOLINT(bugprone-use-after-move)

  // Assigning another kind replaces the content.
  taken = EncodableValue(3.5);
  EXPECT_EQ(taken.Get<double>(), 3.5);
}

}  // namespace
}  // namespace flutter
