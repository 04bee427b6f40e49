#include "columns/column.hpp"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "columns/element.hpp"

namespace quillmarrow {

namespace {

bool is_integer_width(std::size_t width) {
  return width == 1 || width == 2 || width == 4 || width == 8;
}

std::string quoted(std::string_view name) {
  std::string text = "column '";
  text.append(name);
  text += '\'';
  return text;
}

std::string kind_text(const Column& column) {
  std::string text = std::to_string(column.width) + "-byte ";
  switch (column.kind) {
    case ElementKind::floating:
      return text + "floating-point numbers";
    case ElementKind::signed_integer:
      return text + "signed integers";
    case ElementKind::unsigned_integer:
      return text + "unsigned integers";
    case ElementKind::boolean:
      return text + "booleans";
  }
  return text + "values";
}

ColumnError type_error(const Column& column, std::string_view expected) {
  std::string message = quoted(column.name);
  message += " must hold ";
  message.append(expected);
  message += ", not ";
  message += kind_text(column);
  return ColumnError{ColumnError::Kind::type, std::move(message)};
}

ColumnError row_error(const Column& column, std::size_t row, std::string_view value,
                      std::string_view rule) {
  std::string message = quoted(column.name);
  message += ": row ";
  message += std::to_string(row);
  message += " is ";
  message.append(value);
  message += ", not ";
  message.append(rule);
  return ColumnError{ColumnError::Kind::value, std::move(message)};
}

// The flag element of a row as its integer text, for messages.
std::string flag_text(const Column& column, std::size_t row) {
  const std::byte* at = element_at(column, row);
  if (column.kind == ElementKind::signed_integer)
    return std::to_string(read_signed(at, column.width));
  return std::to_string(read_unsigned(at, column.width));
}

}  // namespace

std::optional<ColumnError> check_number_type(const Column& column) {
  constexpr std::string_view expected = "numbers (floating-point or integers)";
  switch (column.kind) {
    case ElementKind::floating:
      if (column.width == 4 || column.width == 8) return std::nullopt;
      break;
    case ElementKind::signed_integer:
    case ElementKind::unsigned_integer:
      if (is_integer_width(column.width)) return std::nullopt;
      break;
    case ElementKind::boolean:
      break;
  }
  return type_error(column, expected);
}

std::optional<ColumnError> check_flag_type(const Column& column) {
  constexpr std::string_view expected = "booleans or the integers 0 and 1";
  switch (column.kind) {
    case ElementKind::boolean:
      if (column.width == 1) return std::nullopt;
      break;
    case ElementKind::signed_integer:
    case ElementKind::unsigned_integer:
      if (is_integer_width(column.width)) return std::nullopt;
      break;
    case ElementKind::floating:
      break;
  }
  return type_error(column, expected);
}

std::optional<ColumnError> find_bad_number(const Column& column) {
  if (column.kind != ElementKind::floating) return std::nullopt;  // integers are always finite
  for (std::size_t row = 0; row < column.length; ++row) {
    const double value = read_number(column, row);
    if (std::isfinite(value)) continue;
    const char* text = std::isnan(value) ? "nan" : (value > 0 ? "inf" : "-inf");
    return row_error(column, row, text, "a finite number");
  }
  return std::nullopt;
}

std::optional<ColumnError> find_bad_flag(const Column& column) {
  for (std::size_t row = 0; row < column.length; ++row) {
    if (read_flag_bits(column, row) > 1) {
      return row_error(column, row, flag_text(column, row), "a flag (false, true, 0 or 1)");
    }
  }
  return std::nullopt;
}

}  // namespace quillmarrow
