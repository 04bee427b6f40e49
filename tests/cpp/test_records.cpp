#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "commands/records.hpp"
#include "json/reader.hpp"

namespace quillmarrow {
namespace {

JsonValue parse(std::string_view text) {
  ParseResult parsed = parse_json(text);
  if (const JsonError* error = std::get_if<JsonError>(&parsed)) {
    ADD_FAILURE() << "test payload does not parse: " << error_message(*error);
    return JsonValue();
  }
  return std::get<JsonValue>(std::move(parsed));
}

auto fields(const TierInput& t) {
  return std::tuple(t.days_since_recall, t.retrieval_count, t.importance, t.frequency,
                    t.is_procedural, t.keep_forever);
}
auto fields(const RetentionInput& r) {
  return std::tuple(r.days_since_recall, r.retrieval_count, r.importance, r.frequency);
}

// The message of a decoding failure; it never carries a position.
template <typename Record>
std::string failure(const std::variant<Record, JsonError>& decoded) {
  const JsonError* error = std::get_if<JsonError>(&decoded);
  if (error == nullptr) return "(decoded)";
  EXPECT_EQ(error->line, 0u);
  EXPECT_EQ(error->column, 0u);
  return error_message(*error);
}

struct TierCase {
  const char* payload;
  TierInput expected;
};

const TierCase kTierDecodes[] = {
    {R"({"days_since_recall": 3, "retrieval_count": 2, "importance": 0.5, "frequency": 0.5})",
     {3, 2, 0.5, 0.5, false, false}},
    {"[3, 2, 0.5, 0.5]", {3, 2, 0.5, 0.5, false, false}},
    {"[3, 2, 0.5, 0.5, true]", {3, 2, 0.5, 0.5, true, false}},
    {"[3, 2, 0.5, 0.5, false, true]", {3, 2, 0.5, 0.5, false, true}},
    {"[3.0, 2.0, 5e-1, 50E-2, true, true]", {3, 2, 0.5, 0.5, true, true}},
    {R"({"keep_forever":true,"is_procedural":true,"frequency":1,"importance":2,)"
     R"("retrieval_count":3,"days_since_recall":4})",
     {4, 3, 2, 1, true, true}},
    {R"({"days_since_recall":1,"retrieval_count":2,"importance":3,"frequency":4,)"
     R"("is_procedural":false,"keep_forever":false})",
     {1, 2, 3, 4, false, false}},
    // Members with other keys are skipped whatever they hold.
    {R"({"days_since_recall":1,"retrieval_count":2,"importance":3,"frequency":4,)"
     R"("extra":{"a":[1,[2,{}]],"b":null},"Keep_forever":"yes"})",
     {1, 2, 3, 4, false, false}},
    // Integers become the nearest double.
    {"[-3, 18446744073709551615, -9223372036854775808, 0]",
     {-3.0, 18446744073709551616.0, -9223372036854775808.0, 0, false, false}},
    {"[-0.0, 1e-400, 1.7976931348623157e308, -5]",
     {-0.0, 0.0, 1.7976931348623157e308, -5, false, false}},
    // A repeated key keeps its last value; escapes are resolved before matching.
    {R"({"importance":1,"days_since_recall":1,"retrieval_count":2,"frequency":4,"importance":9})",
     {1, 2, 9, 4, false, false}},
    {R"({"days\u005fsince_recall":7,"retrieval_count":2,"importance":3,"frequency":4})",
     {7, 2, 3, 4, false, false}},
};

TEST(DecodeTierInput, AcceptedForms) {
  for (const TierCase& c : kTierDecodes) {
    SCOPED_TRACE(c.payload);
    const auto decoded = decode_tier_input(parse(c.payload));
    ASSERT_TRUE(std::holds_alternative<TierInput>(decoded)) << failure(decoded);
    EXPECT_EQ(fields(std::get<TierInput>(decoded)), fields(c.expected));
  }
}

struct FailureCase {
  const char* payload;
  const char* message;
};

const FailureCase kTierFailures[] = {
    // Neither object nor array.
    {"5", "invalid type: integer `5`, expected struct TierInput"},
    {"null", "invalid type: null, expected struct TierInput"},
    {"true", "invalid type: boolean `true`, expected struct TierInput"},
    {"-2.0", "invalid type: floating point `-2.0`, expected struct TierInput"},
    {R"("abc")", "invalid type: string \"abc\", expected struct TierInput"},
    // Object form: missing fields in declared order.
    {"{}", "missing field `days_since_recall`"},
    {R"({"days_since_recall":1,"importance":1,"frequency":1})", "missing field `retrieval_count`"},
    {R"({"days_since_recall":1,"retrieval_count":1,"frequency":1})", "missing field `importance`"},
    {R"({"days_since_recall":1,"retrieval_count":1,"importance":1,"is_procedural":true})",
     "missing field `frequency`"},
    {R"({"frequency":1,"importance":1,"retrieval_count":1})", "missing field `days_since_recall`"},
    // Keys match exactly.
    {R"({"Days_since_recall":1,"retrieval_count":1,"importance":1,"frequency":1})",
     "missing field `days_since_recall`"},
    {R"({"days_since_recall ":1,"retrieval_count":1,"importance":1,"frequency":1})",
     "missing field `days_since_recall`"},
    // Wrong kinds, reported at once and before any missing field.
    {R"({"days_since_recall":null})", "invalid type: null, expected f64"},
    {R"({"days_since_recall":"3"})", "invalid type: string \"3\", expected f64"},
    {R"({"days_since_recall":[1]})", "invalid type: sequence, expected f64"},
    {R"({"days_since_recall":{}})", "invalid type: map, expected f64"},
    {R"({"importance":"high","retrieval_count":1,"frequency":1})",
     "invalid type: string \"high\", expected f64"},
    {R"({"is_procedural":null})", "invalid type: null, expected a boolean"},
    {R"({"is_procedural":1,"days_since_recall":1})",
     "invalid type: integer `1`, expected a boolean"},
    {R"({"keep_forever":"true"})", "invalid type: string \"true\", expected a boolean"},
    {R"({"keep_forever":0.0})", "invalid type: floating point `0.0`, expected a boolean"},
    // Among several wrongly typed members the first key in byte order reports.
    {R"({"retrieval_count":"x","frequency":true,"days_since_recall":1,"importance":1})",
     "invalid type: boolean `true`, expected f64"},
    {R"({"retrieval_count":"x","is_procedural":null})", "invalid type: null, expected a boolean"},
    {R"({"keep_forever":1,"days_since_recall":false})",
     "invalid type: boolean `false`, expected f64"},
    {R"({"importance":[],"frequency":{}})", "invalid type: map, expected f64"},
    // Array form.
    {"[]", "invalid length 0, expected struct TierInput with 6 elements"},
    {"[1]", "invalid length 1, expected struct TierInput with 6 elements"},
    {"[1, 2]", "invalid length 2, expected struct TierInput with 6 elements"},
    {"[1, 2, 3]", "invalid length 3, expected struct TierInput with 6 elements"},
    {"[null]", "invalid type: null, expected f64"},
    {R"([1, "2"])", "invalid type: string \"2\", expected f64"},
    {"[1, 2, 3, true]", "invalid type: boolean `true`, expected f64"},
    {"[[1], 2, 3, 4]", "invalid type: sequence, expected f64"},
    {"[1, 2, 3, 4, 1]", "invalid type: integer `1`, expected a boolean"},
    {"[1, 2, 3, 4, true, null]", "invalid type: null, expected a boolean"},
    {"[1, 2, 3, 4, 5, 6, 7]", "invalid type: integer `5`, expected a boolean"},
    {"[3, 2, 0.5, 0.5, true, false, 1]", "invalid length 7, expected fewer elements in array"},
    {"[1, 2, 3, 4, false, false, false, false]",
     "invalid length 8, expected fewer elements in array"},
};

TEST(DecodeTierInput, Failures) {
  for (const FailureCase& c : kTierFailures) {
    SCOPED_TRACE(c.payload);
    EXPECT_EQ(failure(decode_tier_input(parse(c.payload))), c.message);
  }
}

struct RetentionCase {
  const char* payload;
  RetentionInput expected;
};

const RetentionCase kRetentionDecodes[] = {
    {R"({"days_since_recall": 3, "retrieval_count": 2, "importance": 0.5, "frequency": 0.5})",
     {3, 2, 0.5, 0.5}},
    {"[3, 2, 0.5, 0.5]", {3, 2, 0.5, 0.5}},
    {"[3.0, 2.0, 0.5, 0.5]", {3, 2, 0.5, 0.5}},
    // The flags are not fields of this record, so they are skipped like any
    // other unknown key.
    {R"({"days_since_recall":1,"retrieval_count":2,"importance":3,"frequency":4,)"
     R"("keep_forever":"yes","is_procedural":null})",
     {1, 2, 3, 4}},
    {"[-3, 18446744073709551615, -1.5, 1e2]", {-3.0, 18446744073709551616.0, -1.5, 100.0}},
};

TEST(DecodeRetentionInput, AcceptedForms) {
  for (const RetentionCase& c : kRetentionDecodes) {
    SCOPED_TRACE(c.payload);
    const auto decoded = decode_retention_input(parse(c.payload));
    ASSERT_TRUE(std::holds_alternative<RetentionInput>(decoded)) << failure(decoded);
    EXPECT_EQ(fields(std::get<RetentionInput>(decoded)), fields(c.expected));
  }
}

const FailureCase kRetentionFailures[] = {
    {"1.5", "invalid type: floating point `1.5`, expected struct RetentionInput"},
    {"true", "invalid type: boolean `true`, expected struct RetentionInput"},
    {"null", "invalid type: null, expected struct RetentionInput"},
    {"-7", "invalid type: integer `-7`, expected struct RetentionInput"},
    {R"("")", "invalid type: string \"\", expected struct RetentionInput"},
    {"{}", "missing field `days_since_recall`"},
    {R"({"days_since_recall":1,"retrieval_count":1,"importance":1})", "missing field `frequency`"},
    {R"({"frequency":null})", "invalid type: null, expected f64"},
    {R"({"retrieval_count":"x","frequency":true})", "invalid type: boolean `true`, expected f64"},
    {"[]", "invalid length 0, expected struct RetentionInput with 4 elements"},
    {"[3, 2, 0.5]", "invalid length 3, expected struct RetentionInput with 4 elements"},
    {"[3, 2, false]", "invalid type: boolean `false`, expected f64"},
    {"[3, 2, 0.5, 0.5, true]", "invalid length 5, expected fewer elements in array"},
    {"[3, 2, 0.5, 0.5, 1, 2]", "invalid length 6, expected fewer elements in array"},
};

TEST(DecodeRetentionInput, Failures) {
  for (const FailureCase& c : kRetentionFailures) {
    SCOPED_TRACE(c.payload);
    EXPECT_EQ(failure(decode_retention_input(parse(c.payload))), c.message);
  }
}

}  // namespace
}  // namespace quillmarrow
