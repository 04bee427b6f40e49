#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "reference/value.hpp"

namespace quillmarrow {
namespace {

TEST(JsonObject, KeepsKeysInUnsignedByteOrderAndLastValueWins) {
  std::vector<JsonMember> members;
  for (const char* k : {"b", "\xc3\xa9", "a", "ab", "a"}) {
    members.push_back({k, JsonValue(JsonNumber::from_unsigned(members.size()))});
  }
  JsonObject o = JsonObject::from_members(std::move(members));
  std::vector<std::string> keys;
  for (const auto& m : o) keys.push_back(m.key);
  EXPECT_EQ(keys, (std::vector<std::string>{"a", "ab", "b", "\xc3\xa9"}));
  ASSERT_NE(o.find("a"), nullptr);
  EXPECT_EQ(o.find("a")->as_number()->unsigned_value, 4u);
  EXPECT_EQ(o.find("c"), nullptr);
}

TEST(JsonObject, InsertReplacesExistingKey) {
  JsonObject o;
  o.insert("tier", JsonValue(std::string("hot")));
  o.insert("action", JsonValue(true));
  o.insert("tier", JsonValue(std::string("cold")));
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o.begin()->key, "action");
  EXPECT_EQ(*o.find("tier")->as_string(), "cold");
}

TEST(JsonValue, NonFiniteDoublesBecomeNull) {
  EXPECT_TRUE(JsonValue::from_double(std::numeric_limits<double>::infinity()).is_null());
  EXPECT_TRUE(JsonValue::from_double(std::nan("")).is_null());
  EXPECT_FALSE(JsonValue::from_double(-0.0).is_null());
  // 1 and 1.0 are different numbers.
  EXPECT_NE(JsonValue(JsonNumber::from_unsigned(1)), JsonValue(JsonNumber::from_double(1.0)));
  EXPECT_EQ(as_double(JsonNumber::from_unsigned(18446744073709551615u)), 18446744073709551616.0);
}

}  // namespace
}  // namespace quillmarrow
