// A column: a read-only view of one input field over many items, as a buffer
// of numbers that the caller owns. The element type is described by its kind
// and width, so the kernels read NumPy, Arrow and plain C buffers alike
// without converting them first.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmarrow {

enum class ElementKind : unsigned char { floating, signed_integer, unsigned_integer, boolean };

struct Column {
  std::string_view name;            // the field's name, used in error messages
  const std::byte* data = nullptr;  // the first element
  std::ptrdiff_t stride = 0;        // bytes from one element to the next
  std::size_t length = 0;           // number of elements
  ElementKind kind = ElementKind::floating;
  std::size_t width = sizeof(double);  // bytes per element
};

// A column over a contiguous C array.
template <class T>
Column column_of(std::string_view name, const T* data, std::size_t length, ElementKind kind) {
  return Column{name,
                reinterpret_cast<const std::byte*>(data),
                static_cast<std::ptrdiff_t>(sizeof(T)),
                length,
                kind,
                sizeof(T)};
}

// Why a set of columns cannot be scored. Values that are out of range are
// value errors; an element type the field cannot take is a type error.
struct ColumnError {
  enum class Kind { value, type };
  Kind kind = Kind::value;
  std::string message;
};

// The element types a number field takes: floating-point of 4 or 8 bytes and
// integers of 1, 2, 4 or 8 bytes (converted to the nearest double).
std::optional<ColumnError> check_number_type(const Column& column);
// The element types a flag takes: booleans (one byte) and integers of 1, 2, 4
// or 8 bytes, whose values must be 0 or 1.
std::optional<ColumnError> check_flag_type(const Column& column);

// The first row of a number column whose value is NaN or infinite, with its
// message; nothing if every value is finite. The column's type must be valid.
std::optional<ColumnError> find_bad_number(const Column& column);
// The first row of a flag column that is neither 0 nor 1.
std::optional<ColumnError> find_bad_flag(const Column& column);

}  // namespace quillmarrow
