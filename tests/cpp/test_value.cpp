#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
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

// An integer becomes the double nearest to it, as a direct conversion gives,
// across the places where the conversion changes: 2^53, 2^63 and 2^64.
TEST(JsonNumber, AsDoubleIsTheNearestDouble) {
  const std::uint64_t unsigned_cases[] = {0,
                                          1,
                                          9007199254740992u,
                                          9007199254740993u,
                                          9007199254740995u,
                                          9223372036854775807u,
                                          9223372036854775808u,
                                          9223372036854775809u,
                                          9223372036854776833u,
                                          9223372036854777855u,
                                          9223372036854777856u,
                                          18446744073709549568u,
                                          18446744073709550591u,
                                          18446744073709550592u,
                                          18446744073709551615u};
  for (std::uint64_t u : unsigned_cases) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(as_double(JsonNumber::from_unsigned(u))),
              std::bit_cast<std::uint64_t>(static_cast<double>(u)))
        << u;
  }
  const std::int64_t negative_cases[] = {-1, -9007199254740993, -9223372036854775807 - 1};
  for (std::int64_t i : negative_cases) {
    EXPECT_EQ(as_double(JsonNumber::from_negative(i)), static_cast<double>(i)) << i;
  }
  for (double d : {0.5, -0.0, 1e308, -4.9e-324}) {
    EXPECT_EQ(std::bit_cast<std::uint64_t>(as_double(JsonNumber::from_double(d))),
              std::bit_cast<std::uint64_t>(d));
  }
}

}  // namespace
}  // namespace quillmarrow
