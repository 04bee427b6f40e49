// The one UTF-8 validator: well-formed sequences with their code points, and
// the maximal subpart of each ill-formed one (what a lossy decoder replaces).
#include <gtest/gtest.h>

#include <string>

#include "json/utf8.hpp"

namespace quillmarrow {
namespace {

struct Utf8Case {
  std::string bytes;
  Utf8Sequence expected;
};

TEST(Utf8SequenceAt, WellFormedAndMaximalSubparts) {
  const Utf8Case cases[] = {
      {"A", {1, true, U'A'}},
      {std::string("\0", 1), {1, true, 0}},
      {"\xC3\xA9", {2, true, 0xE9}},
      {"\xE2\x82\xAC", {3, true, 0x20AC}},
      {"\xF0\x9F\x98\x80", {4, true, 0x1F600}},
      {"\xF4\x8F\xBF\xBF", {4, true, 0x10FFFF}},
      {"\xED\x9F\xBF", {3, true, 0xD7FF}},
      // Bytes that start no sequence.
      {"\x80", {1, false, 0}},
      {"\xC0\xAF", {1, false, 0}},
      {"\xC1\xBF", {1, false, 0}},
      {"\xF5\x80\x80\x80", {1, false, 0}},
      {"\xFF", {1, false, 0}},
      // Overlong forms, surrogates and values past U+10FFFF stop at the lead.
      {"\xE0\x80\xAF", {1, false, 0}},
      {"\xED\xA0\x80", {1, false, 0}},
      {"\xF0\x8F\xBF\xBF", {1, false, 0}},
      {"\xF4\x90\x80\x80", {1, false, 0}},
      // Truncated sequences: the valid start is one maximal subpart.
      {"\xC3", {1, false, 0}},
      {"\xE2\x82", {2, false, 0}},
      {"\xE2\x82z", {2, false, 0}},
      {"\xF0\x9F\x98", {3, false, 0}},
      {"\xF0\x9F\x98\x41", {3, false, 0}},
  };
  for (const Utf8Case& c : cases) {
    const Utf8Sequence got = utf8_sequence_at(c.bytes, 0);
    EXPECT_EQ(got.length, c.expected.length) << testing::PrintToString(c.bytes);
    EXPECT_EQ(got.well_formed, c.expected.well_formed) << testing::PrintToString(c.bytes);
    EXPECT_EQ(static_cast<unsigned>(got.code_point), static_cast<unsigned>(c.expected.code_point))
        << testing::PrintToString(c.bytes);
  }
}

TEST(Utf8SequenceAt, ReadsAtAnOffset) {
  const std::string text = "a\xC3\xA9\xE2\x82";
  EXPECT_EQ(utf8_sequence_at(text, 1).length, 2u);
  EXPECT_TRUE(utf8_sequence_at(text, 1).well_formed);
  EXPECT_EQ(utf8_sequence_at(text, 3).length, 2u);
  EXPECT_FALSE(utf8_sequence_at(text, 3).well_formed);
}

}  // namespace
}  // namespace quillmarrow
