// Fuzz target for recall times read from bytes: the ISO-8601 grammar, number
// texts, and days since recall over a column of texts.
//
// Input: one options byte, then texts separated by '\n'. The options byte's
// low two bits pick the time unit; the next bit whether the texts go in
// Arrow's layout (8-byte offsets) or as views; bit 3 a max_skew of 0 or of
// 300 seconds.
//
// Checks, for every text:
// - an accepted ISO-8601 text has the date's shape, and the time it gives,
//   written back as ISO-8601 (add_time_text), reads back as the same
//   microseconds;
// - an accepted number text is what strtod reads from it (correctly
//   rounded), and is finite;
// and for the column: days_since_column either fills every row with what
// time_text_seconds and days_since_recall give for that row alone, or
// reports the first row that one of them refuses.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_support.hpp"
#include "scalar/days_since.hpp"
#include "times/iso8601.hpp"
#include "times/recall_column.hpp"
#include "times/time_text.hpp"

namespace quillmarrow::fuzz {
namespace {

constexpr double kNow = 1'750'000'000.0;

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

void check_iso(std::string_view text) {
  std::int64_t micros = 0;
  if (!parse_iso8601(text, micros)) return;
  QM_FUZZ_CHECK(text.size() >= 10 && is_digit(text[0]) && is_digit(text[3]) && text[4] == '-' &&
                    text[7] == '-' && is_digit(text[9]),
                text);
  // Years 0001-9999 with offsets of up to a day either side.
  QM_FUZZ_CHECK(micros >= -62'135'596'800'000'000 - 86'400'000'000 &&
                    micros < 253'402'300'800'000'000 + 86'400'000'000,
                text);
  // Written back from the double, the time reads back as the same
  // microseconds wherever a double holds them (1834 to 2106); beyond, within
  // twice the double's spacing (the count of microseconds itself is rounded
  // to a double past 2**53, then divided).
  const double seconds = unix_seconds(micros);
  ScalarMessage written;
  add_time_text(written, seconds);
  std::int64_t again = 0;
  const std::string_view back = written.view();
  if (back.find("Unix seconds") == std::string_view::npos) {
    QM_FUZZ_CHECK(parse_iso8601(back, again), back);
    const double spacing = std::nextafter(std::fabs(seconds), INFINITY) - std::fabs(seconds);
    QM_FUZZ_CHECK(std::fabs(static_cast<double>(again - micros)) <= 2.0 * spacing * 1e6, back);
    if (std::fabs(seconds) < 4294967296.0) QM_FUZZ_CHECK(again == micros, back);
  }
}

void check_number(std::string_view text) {
  double value = 0.0;
  if (!parse_number_text(text, value)) return;
  QM_FUZZ_CHECK(std::isfinite(value), text);
  const std::string copy(text);
  char* end = nullptr;
  const double expected = std::strtod(copy.c_str(), &end);
  QM_FUZZ_CHECK(end == copy.c_str() + copy.size(), text);
  QM_FUZZ_CHECK(expected == value || (std::isnan(expected) && std::isnan(value)), text);
}

void run_one(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return;
  const std::uint8_t options = data[0];
  const std::string_view body(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string_view> views;
  std::vector<std::int64_t> offsets{0};
  for (std::size_t start = 0; start <= body.size();) {
    std::size_t end = body.find('\n', start);
    if (end == std::string_view::npos) end = body.size();
    views.push_back(body.substr(start, end - start));
    offsets.push_back(static_cast<std::int64_t>(end));
    if (end == body.size()) break;
    start = end + 1;
  }
  for (std::string_view text : views) {
    check_iso(text);
    check_number(text);
  }

  RecallColumn column;
  column.name = "t";
  column.kind = RecallColumn::Kind::texts;
  std::string joined;
  if (options & 4) {
    // Arrow's layout: the texts end to end, without separators, and the
    // offsets between them.
    offsets.assign(1, 0);
    for (std::string_view text : views) {
      joined.append(text);
      offsets.push_back(static_cast<std::int64_t>(joined.size()));
    }
    column.texts = TextColumn{joined.data(), offsets.data(), 8, 0, nullptr, views.size()};
    QM_FUZZ_CHECK(column.texts.offsets_within(joined.size()), "offsets");
  } else {
    column.texts.views = views.data();
    column.texts.length = views.size();
  }
  const RecallOptions recall{kNow, (options & 8) ? 300.0 : 0.0, static_cast<TimeUnit>(options & 3)};
  std::vector<double> days(views.size(), -1.0);
  const auto error = days_since_column(column, recall, days.data());

  std::size_t first_bad = views.size();
  for (std::size_t row = 0; row < views.size(); ++row) {
    double seconds = 0.0;
    double expected = 0.0;
    ScalarMessage ignored;
    if (!time_text_seconds(views[row], recall.unit, seconds) ||
        !days_since_recall("t", {seconds, kNow, recall.max_skew}, expected, ignored)) {
      first_bad = row;
      break;
    }
    if (!error) QM_FUZZ_CHECK(days[row] == expected, views[row]);
  }
  if (first_bad == views.size()) {
    QM_FUZZ_CHECK(!error, error->message);
  } else {
    QM_FUZZ_CHECK(error.has_value(), views[first_bad]);
    const std::string prefix = "column 't': row " + std::to_string(first_bad) + " is ";
    QM_FUZZ_CHECK(error->message.rfind(prefix, 0) == 0, error->message);
  }
}

}  // namespace
}  // namespace quillmarrow::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quillmarrow::fuzz::run_one(data, size);
  return 0;
}
