// The record-decoding tables, run on every road a record can take: the
// reference road (payload parsed into a tree, record decoded from the tree),
// the engine's record reader fed straight from the reader's events, and the
// commands themselves through run_command ("tier" and "tier-batch" for a
// TierInput, "score" for a RetentionInput). Every road must give the same
// message for every failure; a decoded record is compared field by field
// where the road yields it, and by the command's whole output otherwise.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

#include "commands/run_command.hpp"
#include "commands/single_record_handler.hpp"
#include "json/reader_core.hpp"
#include "reference/parse.hpp"
#include "reference/records.hpp"
#include "reference/results.hpp"
#include "reference/write.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {
namespace {

// The exact fields (doubles in hexadecimal, so every bit shows).
std::string fields_text(const TierInput& t) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "decoded %a %a %a %a %d %d", t.days_since_recall,
                t.retrieval_count, t.importance, t.frequency, t.is_procedural, t.keep_forever);
  return buf;
}
std::string fields_text(const RetentionInput& r) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "decoded %a %a %a %a", r.days_since_recall, r.retrieval_count,
                r.importance, r.frequency);
  return buf;
}

template <class Record>
struct RecordKind;
template <>
struct RecordKind<TierInput> {
  static constexpr const RecordShape& shape = kTierInputShape;
  static auto decode(const JsonValue& value) { return decode_tier_input(value); }
  static TierInput from(const RecordSlots& slots) { return slots.tier_input(); }
};
template <>
struct RecordKind<RetentionInput> {
  static constexpr const RecordShape& shape = kRetentionInputShape;
  static auto decode(const JsonValue& value) { return decode_retention_input(value); }
  static RetentionInput from(const RecordSlots& slots) { return slots.retention_input(); }
};

// A road: what it makes of a payload (a failure's message, or its success
// text), and the success text it must make of a record decoded as expected.
template <class Record>
struct Road {
  const char* name;
  std::string (*run)(std::string_view payload);
  std::string (*success)(const Record& expected);
};

template <class Record>
std::string through_tree(std::string_view payload) {
  ParseResult parsed = parse_json(payload);
  if (const auto* error = std::get_if<JsonError>(&parsed)) return error_message(*error);
  const auto decoded = RecordKind<Record>::decode(std::get<JsonValue>(parsed));
  if (const auto* error = std::get_if<EngineError>(&decoded)) return error->message;
  return fields_text(std::get<Record>(decoded));
}

template <class Record>
std::string through_events(std::string_view payload) {
  SingleRecordHandler handler(RecordKind<Record>::shape);
  if (std::optional<JsonError> error = read_json(payload, handler)) return error_message(*error);
  if (std::optional<EngineError> error = handler.record().finish()) return error->message;
  return fields_text(RecordKind<Record>::from(handler.record().slots()));
}

template <class Record>
std::string decoded(const Record& expected) {
  return fields_text(expected);
}

std::string through_command(std::string_view command, std::string_view payload) {
  CommandResult result = run_command(command, payload);
  if (const auto* error = std::get_if<EngineError>(&result)) return error->message;
  return std::get<std::string>(result);
}

// The expected outputs are written by the reference road's writer.
std::string tier_output(const TierInput& expected) {
  return write_json(success_envelope(tier_decision_to_json(classify_tier(expected))));
}
std::string batch_output(const TierInput& expected) {
  JsonObject result;
  result.insert("decisions", JsonValue(JsonArray{tier_decision_to_json(classify_tier(expected))}));
  return write_json(success_envelope(JsonValue(std::move(result))));
}
std::string score_output(const RetentionInput& expected) {
  return write_json(success_envelope(retention_score_to_json(compute_retention_score(expected))));
}

const Road<TierInput> kTierRoads[] = {
    {"reference", through_tree<TierInput>, decoded<TierInput>},
    {"record_reader", through_events<TierInput>, decoded<TierInput>},
    {"tier", [](std::string_view p) { return through_command("tier", p); }, tier_output},
    {"tier_batch",
     [](std::string_view p) {
       return through_command("tier-batch", R"({"items":[)" + std::string(p) + "]}");
     },
     batch_output},
};
const Road<RetentionInput> kRetentionRoads[] = {
    {"reference", through_tree<RetentionInput>, decoded<RetentionInput>},
    {"record_reader", through_events<RetentionInput>, decoded<RetentionInput>},
    {"score", [](std::string_view p) { return through_command("score", p); }, score_output},
};

template <class Record>
std::string road_name(const testing::TestParamInfo<Road<Record>>& info) {
  return info.param.name;
}

class TierInputRoads : public testing::TestWithParam<Road<TierInput>> {};
class RetentionInputRoads : public testing::TestWithParam<Road<RetentionInput>> {};
INSTANTIATE_TEST_SUITE_P(Roads, TierInputRoads, testing::ValuesIn(kTierRoads),
                         road_name<TierInput>);
INSTANTIATE_TEST_SUITE_P(Roads, RetentionInputRoads, testing::ValuesIn(kRetentionRoads),
                         road_name<RetentionInput>);

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

TEST_P(TierInputRoads, AcceptedForms) {
  for (const TierCase& c : kTierDecodes) {
    EXPECT_EQ(GetParam().run(c.payload), GetParam().success(c.expected)) << c.payload;
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

TEST_P(TierInputRoads, Failures) {
  for (const FailureCase& c : kTierFailures) {
    EXPECT_EQ(GetParam().run(c.payload), c.message) << c.payload;
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

TEST_P(RetentionInputRoads, AcceptedForms) {
  for (const RetentionCase& c : kRetentionDecodes) {
    EXPECT_EQ(GetParam().run(c.payload), GetParam().success(c.expected)) << c.payload;
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

TEST_P(RetentionInputRoads, Failures) {
  for (const FailureCase& c : kRetentionFailures) {
    EXPECT_EQ(GetParam().run(c.payload), c.message) << c.payload;
  }
}

}  // namespace
}  // namespace quillmarrow
