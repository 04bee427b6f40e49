// Days since recall for a whole column of recall times, whatever their
// type, each row through days_since_recall (scalar/days_since.hpp), the one
// rule of the package: the time as Unix seconds, then
// (now - recalled_at) / 86400, a time after now refused unless it is at most
// max_skew seconds ahead (then day 0).
//
// A recall time comes as one of:
// - a count of a fixed unit since 1970-01-01T00:00Z (timestamps and dates):
//   taken to whole microseconds (finer counts floor), then divided once by
//   1e6;
// - a number (any element type of the column layer) of a time unit: divided
//   by 1, 1e3, 1e6 or 1e9;
// - a text: ISO-8601, or a number of the time unit (time_text.hpp).
// Nulls are the caller's to find before; every row here has a value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "columns/column.hpp"
#include "times/time_text.hpp"

namespace quillmarrow {

enum class CountUnit : unsigned char { days, seconds, milliseconds, microseconds, nanoseconds };

// Texts, either in Arrow's layout (offsets[first + row] to
// offsets[first + row + 1] into data, offsets of 4 or 8 bytes) or as an
// array of views.
struct TextColumn {
  const char* data = nullptr;
  const void* offsets = nullptr;
  std::size_t offset_width = 4;
  std::size_t first = 0;
  const std::string_view* views = nullptr;
  std::size_t length = 0;

  std::string_view at(std::size_t row) const noexcept;
  // True when every row's offsets are in order and within data_length
  // bytes (views are always valid).
  bool offsets_within(std::size_t data_length) const noexcept;
};

struct RecallColumn {
  enum class Kind : unsigned char { counts, numbers, texts };
  std::string_view name;  // for messages
  Kind kind = Kind::numbers;
  Column values;  // counts: 8-byte signed integers; numbers: any number column
  CountUnit count_unit = CountUnit::seconds;
  TextColumn texts;
  std::size_t length() const noexcept { return kind == Kind::texts ? texts.length : values.length; }
};

struct RecallOptions {
  double now = 0.0;  // Unix seconds
  double max_skew = 300.0;
  TimeUnit unit = TimeUnit::seconds;  // of numbers and numeric texts
};

// Fills days[0, length) with the days since recall of every row; or returns
// the error of the first row that is not a time (a text of another form, a
// number that is not finite, a count out of range) or lies too far after
// now. The message names the column, the row, its value (as ISO-8601 UTC for
// a time after now) and what to do. days must hold column.length() doubles.
std::optional<ColumnError> days_since_column(const RecallColumn& column,
                                             const RecallOptions& options, double* days);

// The nearest double of every decimal number text (parse_number_text), for
// exact decimals written out as text; or the error of the first row that is
// not one. out must hold texts.length doubles.
std::optional<ColumnError> numbers_from_texts(std::string_view name, const TextColumn& texts,
                                              double* out);

// The same rule for one time given as Unix seconds (now checked for
// max_skew as above); on an error, the message names the column and row.
std::optional<ColumnError> days_since_seconds(std::string_view name, std::size_t row,
                                              double recalled_at, const RecallOptions& options,
                                              double& days);

// One recall time outside a column: a number of the time unit, or a text
// (ISO-8601 or a number of the unit).
struct RecallValue {
  bool is_text = false;
  double number = 0.0;
  std::string_view text;
};

// The rule of a column's rows for one value (now and max_skew already
// checked by the caller). An error's message starts with subject, which
// names the value ("member 'recalled_at'"), then " is " and the value, as
// a row's message does after "row N".
std::optional<ColumnError> days_since_value(std::string_view subject, const RecallValue& value,
                                            const RecallOptions& options, double& days);

}  // namespace quillmarrow
