#include "times/recall_column.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "columns/element.hpp"
#include "scalar/days_since.hpp"
#include "scalar/finite.hpp"
#include "scalar/message.hpp"
#include "times/iso8601.hpp"

namespace quillmarrow {

namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
// Offsets from UTC reach 14 hours: a time ahead by less may be a local time
// read as UTC.
constexpr double kLargestZoneSeconds = 14 * 3600.0;

std::string quoted(std::string_view name) {
  std::string text = "column '";
  text.append(name);
  text += '\'';
  return text;
}

std::string row_prefix(std::string_view name, std::size_t row) {
  return quoted(name) + ": row " + std::to_string(row) + " is ";
}

// What a message names: a column's row, or a value named by the caller
// ("member 'recalled_at'").
struct Subject {
  std::string_view name;
  std::size_t row = 0;
  bool row_of_column = true;
};

std::string prefix(const Subject& subject) {
  if (subject.row_of_column) return row_prefix(subject.name, subject.row);
  return std::string(subject.name) + " is ";
}

ColumnError value_error(std::string message) {
  return ColumnError{ColumnError::Kind::value, std::move(message)};
}

std::string time_text(double seconds) {
  ScalarMessage message;
  add_time_text(message, seconds);
  return std::string(message.view());
}

std::string number_text(double value) {
  ScalarMessage message;
  message.add_number(value);
  return std::string(message.view());
}

// A span of seconds: in days or hours, to a tenth, from two of them on;
// otherwise in seconds, to the microsecond.
std::string span_text(double seconds) {
  const struct {
    double size;
    const char* words;
  } units[] = {{86400.0, " days"}, {3600.0, " hours"}};
  for (const auto& unit : units) {
    if (seconds >= 2 * unit.size) {
      return number_text(std::round(seconds / unit.size * 10) / 10) + unit.words;
    }
  }
  return number_text(std::round(seconds * 1e6) / 1e6) + (seconds == 1.0 ? " second" : " seconds");
}

// The likeliest cause of a time after now: a number in a finer unit than the
// one it was read in, a local time read as UTC, or else either.
std::string guess(std::optional<double> number, double recalled_at, const RecallOptions& options) {
  if (number) {
    // The finer unit that reads the number closest to now, if it does
    // better than the unit it was read in.
    int best = -1;
    double best_distance = recalled_at - options.now;
    for (int finer = static_cast<int>(options.unit) + 1; finer <= 3; ++finer) {
      const double seconds = *number / time_unit_divisor(static_cast<TimeUnit>(finer));
      const double distance = std::fabs(seconds - options.now);
      if (distance < best_distance) {
        best = finer;
        best_distance = distance;
      }
    }
    if (best >= 0) {
      const auto unit = static_cast<TimeUnit>(best);
      const std::string name(time_unit_name(unit));
      return std::string(time_unit_words(unit)) + " read as " +
             std::string(time_unit_words(options.unit)) + "? Give the time unit " + name +
             " (time_unit='" + name + "', --time-unit " + name + ")";
    }
  }
  if (recalled_at - options.now <= kLargestZoneSeconds + options.max_skew) {
    return "a local time read as UTC (a time without an offset counts as UTC)?";
  }
  return "is it in another unit or time zone?";
}

std::optional<ColumnError> count_days(const Subject& subject, double recalled_at,
                                      std::optional<double> number, const RecallOptions& options,
                                      double& days) {
  DaysSinceInput input{recalled_at, options.now, options.max_skew};
  ScalarMessage ignored;
  if (days_since_recall("recalled_at", input, days, ignored)) return std::nullopt;
  if (!std::isfinite(recalled_at)) {
    return value_error(prefix(subject) + number_text(recalled_at) + ", not a finite number");
  }
  // Past the checks of now and max_skew (made by the caller), only a time
  // too far ahead is refused.
  return value_error(prefix(subject) + time_text(recalled_at) + ", " +
                     span_text(recalled_at - options.now) + " after now (" +
                     time_text(options.now) + "), more than the allowed clock skew of " +
                     span_text(options.max_skew) + ": " + guess(number, recalled_at, options) +
                     "; or allow more skew with max_skew (--max-skew)");
}

// Whole microseconds of a count, or false when they pass 64 bits.
bool count_micros(std::int64_t count, CountUnit unit, std::int64_t& micros) {
  std::int64_t scale = 1;
  switch (unit) {
    case CountUnit::days:
      scale = 86'400'000'000;
      break;
    case CountUnit::seconds:
      scale = 1'000'000;
      break;
    case CountUnit::milliseconds:
      scale = 1'000;
      break;
    case CountUnit::microseconds:
      micros = count;
      return true;
    case CountUnit::nanoseconds:
      // Floor division: a nanosecond before 1970 is in the microsecond before.
      micros = count / 1000 - (count % 1000 < 0 ? 1 : 0);
      return true;
  }
  if (count > kMax / scale || count < kMin / scale) return false;
  micros = count * scale;
  return true;
}

std::string shown_text(std::string_view text) {
  // At most 60 bytes, cut where a character starts so that a text in
  // UTF-8 stays UTF-8.
  std::size_t shown_size = std::min<std::size_t>(text.size(), 60);
  while (shown_size > 0 && shown_size < text.size() &&
         (static_cast<unsigned char>(text[shown_size]) & 0xC0) == 0x80) {
    --shown_size;
  }
  std::string shown = "'";
  for (std::size_t i = 0; i < shown_size; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c == '\'' || c == '\\') {
      shown += '\\';
      shown += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      constexpr char hex[] = "0123456789abcdef";
      shown += "\\x";
      shown += hex[c >> 4];
      shown += hex[c & 15];
    } else {
      shown += static_cast<char>(c);
    }
  }
  shown += text.size() > shown_size ? "'..." : "'";
  return shown;
}

// A recall time written as text: ISO-8601, or a number of the time unit.
std::optional<ColumnError> text_days(const Subject& subject, std::string_view text,
                                     const RecallOptions& options, double& days) {
  std::int64_t micros = 0;
  double seconds = 0.0;
  std::optional<double> number;
  if (parse_iso8601(text, micros)) {
    seconds = unix_seconds(micros);
  } else if (double value = 0.0; parse_number_text(text, value)) {
    number = value;
    seconds = value / time_unit_divisor(options.unit);
  } else {
    return value_error(prefix(subject) + "the text " + shown_text(text) +
                       ", not a time: ISO-8601 (2025-06-15T12:00:00Z, 2025-06-15) or a "
                       "number in the time unit (" +
                       std::string(time_unit_words(options.unit)) + ")");
  }
  return count_days(subject, seconds, number, options, days);
}

// A recall time given as a number of the time unit.
std::optional<ColumnError> number_days(const Subject& subject, double number,
                                       const RecallOptions& options, double& days) {
  if (!std::isfinite(number)) {
    return value_error(prefix(subject) + number_text(number) + ", not a finite number");
  }
  return count_days(subject, number / time_unit_divisor(options.unit), number, options, days);
}

}  // namespace

std::string_view TextColumn::at(std::size_t row) const noexcept {
  if (views != nullptr) return views[row];
  std::size_t begin = 0;
  std::size_t end = 0;
  const auto* bytes = static_cast<const unsigned char*>(offsets);
  if (offset_width == 8) {
    std::int64_t pair[2];
    std::memcpy(pair, bytes + (first + row) * 8, sizeof pair);
    begin = static_cast<std::size_t>(pair[0]);
    end = static_cast<std::size_t>(pair[1]);
  } else {
    std::int32_t pair[2];
    std::memcpy(pair, bytes + (first + row) * 4, sizeof pair);
    begin = static_cast<std::size_t>(pair[0]);
    end = static_cast<std::size_t>(pair[1]);
  }
  return {data + begin, end - begin};
}

bool TextColumn::offsets_within(std::size_t data_length) const noexcept {
  if (views != nullptr) return true;
  const auto* bytes = static_cast<const unsigned char*>(offsets);
  std::int64_t previous = 0;
  for (std::size_t i = first; i <= first + length; ++i) {
    std::int64_t offset = 0;
    if (offset_width == 8) {
      std::memcpy(&offset, bytes + i * 8, 8);
    } else {
      std::int32_t narrow = 0;
      std::memcpy(&narrow, bytes + i * 4, 4);
      offset = narrow;
    }
    if (offset < 0 || static_cast<std::uint64_t>(offset) > data_length) return false;
    if (i > first && offset < previous) return false;
    previous = offset;
  }
  return true;
}

std::optional<ColumnError> numbers_from_texts(std::string_view name, const TextColumn& texts,
                                              double* out) {
  for (std::size_t row = 0; row < texts.length; ++row) {
    const std::string_view text = texts.at(row);
    if (!parse_number_text(text, out[row])) {
      return value_error(row_prefix(name, row) + "the text " + shown_text(text) +
                         ", not a finite number");
    }
  }
  return std::nullopt;
}

std::optional<ColumnError> days_since_seconds(std::string_view name, std::size_t row,
                                              double recalled_at, const RecallOptions& options,
                                              double& days) {
  return count_days(Subject{name, row}, recalled_at, std::nullopt, options, days);
}

std::optional<ColumnError> days_since_value(std::string_view subject, const RecallValue& value,
                                            const RecallOptions& options, double& days) {
  const Subject named{subject, 0, false};
  return value.is_text ? text_days(named, value.text, options, days)
                       : number_days(named, value.number, options, days);
}

std::optional<ColumnError> days_since_column(const RecallColumn& column,
                                             const RecallOptions& options, double* days) {
  {
    ScalarMessage message;
    if (!check_finite("days since recall", "now", options.now, message) ||
        !check_finite("days since recall", "max_skew", options.max_skew, message)) {
      return value_error(std::string(message.view()));
    }
    if (options.max_skew < 0.0) {
      return value_error("days since recall: max_skew is " + number_text(options.max_skew) +
                         " seconds, not 0 or more");
    }
  }
  const std::size_t length = column.length();
  switch (column.kind) {
    case RecallColumn::Kind::counts:
      for (std::size_t row = 0; row < length; ++row) {
        const std::int64_t count = load<std::int64_t>(element_at(column.values, row));
        std::int64_t micros = 0;
        if (!count_micros(count, column.count_unit, micros)) {
          return value_error(row_prefix(column.name, row) +
                             "out of the range of times (the years 292,000 BC to AD)");
        }
        if (auto error = count_days(Subject{column.name, row}, unix_seconds(micros), std::nullopt,
                                    options, days[row])) {
          return error;
        }
      }
      break;
    case RecallColumn::Kind::numbers: {
      if (auto error = check_number_type(column.values)) return error;
      for (std::size_t row = 0; row < length; ++row) {
        const double number = read_number(column.values, row);
        if (auto error = number_days(Subject{column.name, row}, number, options, days[row])) {
          return error;
        }
      }
      break;
    }
    case RecallColumn::Kind::texts:
      for (std::size_t row = 0; row < length; ++row) {
        if (auto error =
                text_days(Subject{column.name, row}, column.texts.at(row), options, days[row])) {
          return error;
        }
      }
      break;
  }
  return std::nullopt;
}

}  // namespace quillmarrow
