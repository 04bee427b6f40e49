// Fuzz target for the column kernels (tier_columns, score_columns): bytes
// become six columns of any element type, stride and length, exactly as a
// caller's buffers would reach them.
//
// Input: 8 header bytes, then the element bytes. Header byte c (c < 6) picks
// column c's element type (low nibble; for the flags, 15 leaves the column
// out) and its stride (the high nibble's two low bits add 0-3 elements of
// padding). Byte 6 picks a column (if below 6) that is one row short. Byte 7
// picks the thread count (low three bits: 1 to 8) and adds 0 to 7 blocks of
// rows (the next three bits), so that the rows span several slices. Every
// column's elements are cut from the rest of the input in turn, wrapping
// around.
//
// The oracle reads the elements by itself: a type the field cannot take must
// give a type error naming the first such column; different lengths a value
// error; a NaN, infinity or a flag other than 0/1 a value error naming the
// first bad column and its first bad row; otherwise every row must be what
// classify_tier and compute_retention_score give for the same record, and,
// when its four numbers are integers below 2^53, what run_command("tier")
// gives for the same record written as JSON. The kernels run on one thread
// and then on the fuzzed thread count: the threaded call must give the
// single-thread call's error, or its outputs byte for byte.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "columns/block.hpp"
#include "columns/kernels.hpp"
#include "commands/run_command.hpp"
#include "fuzz_support.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow::fuzz {
namespace {

struct Type {
  ElementKind kind;
  std::size_t width;
};

constexpr Type kTypes[] = {
    {ElementKind::floating, 8},         {ElementKind::floating, 4},
    {ElementKind::signed_integer, 1},   {ElementKind::signed_integer, 2},
    {ElementKind::signed_integer, 4},   {ElementKind::signed_integer, 8},
    {ElementKind::unsigned_integer, 1}, {ElementKind::unsigned_integer, 2},
    {ElementKind::unsigned_integer, 4}, {ElementKind::unsigned_integer, 8},
    {ElementKind::boolean, 1},          {ElementKind::floating, 2},  // half: never valid
    {ElementKind::signed_integer, 3},   {ElementKind::floating, 8},
    {ElementKind::boolean, 1},          {ElementKind::floating, 8},
};

constexpr const char* kNames[] = {"days_since_recall", "retrieval_count", "importance",
                                  "frequency",         "is_procedural",   "keep_forever"};

bool number_type_ok(Type t) {
  if (t.kind == ElementKind::floating) return t.width == 4 || t.width == 8;
  if (t.kind == ElementKind::boolean) return false;
  return t.width == 1 || t.width == 2 || t.width == 4 || t.width == 8;
}
bool flag_type_ok(Type t) {
  if (t.kind == ElementKind::boolean) return t.width == 1;
  if (t.kind == ElementKind::floating) return false;
  return t.width == 1 || t.width == 2 || t.width == 4 || t.width == 8;
}

// The oracle's own reading of one element: the double it stands for, and
// for flags whether it is 0 or 1.
struct Element {
  double number;
  bool is_flag_value;
  bool flag;
  std::int64_t as_signed;
  std::uint64_t as_unsigned;
};

Element read(const unsigned char* p, Type t) {
  Element e{0, false, false, 0, 0};
  auto load_u = [&](std::size_t w) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, w);  // little-endian machine
    return v;
  };
  if (t.kind == ElementKind::floating) {
    if (t.width == 8) {
      std::memcpy(&e.number, p, 8);
    } else if (t.width == 4) {
      float f;
      std::memcpy(&f, p, 4);
      e.number = f;
    }
    return e;
  }
  const std::uint64_t u = load_u(t.width);
  if (t.kind == ElementKind::signed_integer) {
    const unsigned shift = static_cast<unsigned>(64 - 8 * t.width);
    e.as_signed = static_cast<std::int64_t>(u << shift) >> shift;
    e.number = static_cast<double>(e.as_signed);
    e.is_flag_value = e.as_signed == 0 || e.as_signed == 1;
    e.flag = e.as_signed == 1;
  } else {
    e.as_unsigned = u;
    e.number = static_cast<double>(u);
    e.is_flag_value = u <= 1;
    e.flag = u == 1;
  }
  return e;
}

struct Storage {
  Type type;
  std::size_t stride;
  std::size_t length;
  std::vector<unsigned char> bytes;
  Column column(std::string_view name) const {
    return Column{name,
                  reinterpret_cast<const std::byte*>(bytes.data()),
                  static_cast<std::ptrdiff_t>(stride),
                  length,
                  type.kind,
                  type.width};
  }
  Element at(std::size_t row) const { return read(bytes.data() + row * stride, type); }
};

bool same_bytes(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() &&
         (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

bool is_small_integer(double x) {
  return std::isfinite(x) && x == std::floor(x) && std::fabs(x) < 9007199254740992.0;
}

// The "tier" command's answer for the record, checked against the kernel's row.
void check_against_run(const double v[4], bool procedural, bool pinned, double retention,
                       unsigned char action, unsigned char tier) {
  std::string payload = "[";
  for (int i = 0; i < 4; ++i) {
    payload += std::to_string(static_cast<long long>(v[i]));
    payload += ',';
  }
  payload += procedural ? "true," : "false,";
  payload += pinned ? "true]" : "false]";
  const CommandResult result = run_command("tier", payload);
  const auto* text = std::get_if<std::string>(&result);
  QM_FUZZ_CHECK(text != nullptr, payload);
  const std::string expected_action =
      std::string("\"action\":\"") + std::string(action_name(static_cast<Action>(action))) + "\"";
  const std::string expected_tier =
      std::string("\"tier\":\"") + std::string(tier_name(static_cast<Tier>(tier))) + "\"";
  QM_FUZZ_CHECK(text->find(expected_action) != std::string::npos, *text);
  QM_FUZZ_CHECK(text->find(expected_tier) != std::string::npos, *text);
  const std::size_t at = text->find("\"retention\":");
  QM_FUZZ_CHECK(at != std::string::npos, *text);
  // The shortest text of a double reads back as that double with strtod.
  const double written = std::strtod(text->c_str() + at + 12, nullptr);
  QM_FUZZ_CHECK(ulp_distance(written, retention) == 0, *text);
}

void run_one(const unsigned char* data, std::size_t size) {
  if (size < 8) return;
  const unsigned char* header = data;
  const unsigned char* body = data + 8;
  const std::size_t body_size = size - 8;
  const std::size_t threads = 1 + (header[7] & 7u);
  const std::size_t extra_rows = body_size == 0 ? 0 : ((header[7] >> 3) & 7u) * kBlockRows;
  const std::size_t rows = (body_size / 24 > 700 ? 700 : body_size / 24) + extra_rows;

  Storage storage[6];
  bool present[6];
  std::size_t cursor = 0;
  for (std::size_t c = 0; c < 6; ++c) {
    present[c] = !(c >= 4 && (header[c] & 0x0f) == 15);
    Type type = kTypes[header[c] & 0x0f];
    storage[c].type = type;
    storage[c].stride = type.width * (1 + ((header[c] >> 4) & 3));
    storage[c].length = rows - (header[6] == c && rows > 0 ? 1 : 0);
    storage[c].bytes.resize(storage[c].length * storage[c].stride + 8);
    for (unsigned char& b : storage[c].bytes) {
      b = body_size == 0 ? 0 : body[cursor++ % body_size];
    }
  }

  TierColumns tier_in{storage[0].column(kNames[0]),
                      storage[1].column(kNames[1]),
                      storage[2].column(kNames[2]),
                      storage[3].column(kNames[3]),
                      std::nullopt,
                      std::nullopt};
  if (present[4]) tier_in.is_procedural = storage[4].column(kNames[4]);
  if (present[5]) tier_in.keep_forever = storage[5].column(kNames[5]);
  std::vector<double> retention(rows), stability(rows), boost(rows);
  std::vector<unsigned char> tier(rows), action(rows);
  const auto tier_error =
      tier_columns(tier_in, {retention.data(), tier.data(), action.data(), rows});
  const ScoreColumns score_in{tier_in.days_since_recall, tier_in.retrieval_count,
                              tier_in.importance, tier_in.frequency};
  std::vector<double> score_retention(rows);
  const auto score_error =
      score_columns(score_in, {score_retention.data(), stability.data(), boost.data(), rows});

  // The same calls on several threads: the single-thread answer.
  std::vector<double> threaded_retention(rows), threaded_stability(rows), threaded_boost(rows);
  std::vector<unsigned char> threaded_tier(rows), threaded_action(rows);
  const auto threaded_tier_error = tier_columns(
      tier_in, {threaded_retention.data(), threaded_tier.data(), threaded_action.data(), rows},
      threads);
  QM_FUZZ_CHECK(threaded_tier_error.has_value() == tier_error.has_value(), "threaded tier error");
  if (tier_error) {
    QM_FUZZ_CHECK(threaded_tier_error->kind == tier_error->kind &&
                      threaded_tier_error->message == tier_error->message,
                  threaded_tier_error->message);
  } else {
    QM_FUZZ_CHECK(same_bytes(threaded_retention, retention), "threaded retention");
    QM_FUZZ_CHECK(threaded_tier == tier && threaded_action == action, "threaded tier or action");
  }
  const auto threaded_score_error = score_columns(
      score_in, {threaded_retention.data(), threaded_stability.data(), threaded_boost.data(), rows},
      threads);
  QM_FUZZ_CHECK(threaded_score_error.has_value() == score_error.has_value(),
                "threaded score error");
  if (score_error) {
    QM_FUZZ_CHECK(threaded_score_error->message == score_error->message,
                  threaded_score_error->message);
  } else {
    QM_FUZZ_CHECK(same_bytes(threaded_retention, score_retention) &&
                      same_bytes(threaded_stability, stability) &&
                      same_bytes(threaded_boost, boost),
                  "threaded score");
  }

  // Expected: the first bad type, then the first length that differs, then
  // the first bad value in parameter order.
  std::optional<std::string> expected_type_column;
  for (std::size_t c = 0; c < 6 && !expected_type_column; ++c) {
    if (!present[c]) continue;
    const bool ok = c < 4 ? number_type_ok(storage[c].type) : flag_type_ok(storage[c].type);
    if (!ok) expected_type_column = kNames[c];
  }
  if (expected_type_column) {
    QM_FUZZ_CHECK(tier_error && tier_error->kind == ColumnError::Kind::type, "type not refused");
    QM_FUZZ_CHECK(
        tier_error->message.find(std::string("column '") + *expected_type_column + "'") == 0,
        tier_error->message);
    return;
  }
  bool lengths_differ = false;
  for (std::size_t c = 0; c < 6; ++c) {
    if (present[c] && storage[c].length != storage[0].length) lengths_differ = true;
  }
  if (lengths_differ) {
    QM_FUZZ_CHECK(tier_error && tier_error->message.find(", but column '") != std::string::npos,
                  tier_error ? tier_error->message : "no error");
    return;
  }
  std::optional<std::string> expected_value;
  for (std::size_t c = 0; c < 6 && !expected_value; ++c) {
    if (!present[c]) continue;
    for (std::size_t r = 0; r < storage[c].length; ++r) {
      const Element e = storage[c].at(r);
      const bool bad = c < 4 ? !std::isfinite(e.number) : !e.is_flag_value;
      if (bad) {
        expected_value =
            std::string("column '") + kNames[c] + "': row " + std::to_string(r) + " is ";
        break;
      }
    }
  }
  if (expected_value) {
    QM_FUZZ_CHECK(tier_error && tier_error->kind == ColumnError::Kind::value, "bad value accepted");
    QM_FUZZ_CHECK(tier_error->message.rfind(*expected_value, 0) == 0, tier_error->message);
    return;
  }
  QM_FUZZ_CHECK(!tier_error, tier_error->message);
  QM_FUZZ_CHECK(!score_error, score_error->message);
  for (std::size_t r = 0; r < rows; ++r) {
    const double v[4] = {storage[0].at(r).number, storage[1].at(r).number, storage[2].at(r).number,
                         storage[3].at(r).number};
    const bool procedural = present[4] && storage[4].at(r).flag;
    const bool pinned = present[5] && storage[5].at(r).flag;
    const TierDecision d = classify_tier({v[0], v[1], v[2], v[3], procedural, pinned});
    QM_FUZZ_CHECK(ulp_distance(d.retention, retention[r]) == 0, "tier retention");
    QM_FUZZ_CHECK(static_cast<unsigned char>(d.action) == action[r], "action");
    QM_FUZZ_CHECK(static_cast<unsigned char>(d.tier()) == tier[r], "tier");
    const RetentionScore s = compute_retention_score({v[0], v[1], v[2], v[3]});
    QM_FUZZ_CHECK(ulp_distance(s.retention, score_retention[r]) == 0, "score retention");
    QM_FUZZ_CHECK(ulp_distance(s.stability, stability[r]) == 0, "stability");
    QM_FUZZ_CHECK(ulp_distance(s.boost, boost[r]) == 0, "boost");
    if (r < 16 && is_small_integer(v[0]) && is_small_integer(v[1]) && is_small_integer(v[2]) &&
        is_small_integer(v[3])) {
      check_against_run(v, procedural, pinned, retention[r], action[r], tier[r]);
    }
  }
}

}  // namespace
}  // namespace quillmarrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmarrow::fuzz::run_one(data, size);
  return 0;
}
