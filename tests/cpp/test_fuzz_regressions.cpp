// Inputs found by the fuzz targets (fuzz/), kept as tests with the answers
// they must give.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <variant>

#include "reference/parse.hpp"
#include "reference/value.hpp"
#include "reference/write.hpp"

namespace quillmarrow {
namespace {

double read_double(const std::string& text) {
  ParseResult r = parse_json(text);
  const JsonValue* v = std::get_if<JsonValue>(&r);
  if (v == nullptr || v->as_number() == nullptr ||
      v->as_number()->kind != JsonNumber::Kind::floating) {
    ADD_FAILURE() << "not a double: " << text;
    return 0.0;
  }
  return v->as_number()->double_value;
}

std::uint64_t bits(double d) {
  std::uint64_t b = 0;
  std::memcpy(&b, &d, sizeof d);
  return b;
}

// A double is read by multiplying its rounded significand by a rounded power
// of ten, which is not a correctly rounded conversion. So the shortest text
// of a double does not always read back as that double: writing and reading
// can move it to a neighbour, and between these two neighbours the texts
// alternate for ever. The round-trip fuzz target allows such drift of a few
// units in the last place and checks everything else exactly.
TEST(FuzzRegression, ShortestTextOfADoubleCanReadBackAsItsNeighbour) {
  const double first = read_double("39073268765e-191");
  EXPECT_EQ(write_json(JsonValue(JsonNumber::from_double(first))), "3.9073268764999997e-181");

  const double second = read_double("3.9073268764999997e-181");
  EXPECT_EQ(bits(second), bits(first) + 1);
  EXPECT_EQ(write_json(JsonValue(JsonNumber::from_double(second))), "3.9073268765e-181");

  const double third = read_double("3.9073268765e-181");
  EXPECT_EQ(bits(third), bits(first));
}

}  // namespace
}  // namespace quillmarrow
