// Reading single elements of a column, whatever their type. The hot loop of
// the kernels converts whole blocks instead (block.hpp); these serve the
// error paths and the block conversion of unusual types.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "columns/column.hpp"

namespace quillmarrow {

inline const std::byte* element_at(const Column& column, std::size_t row) {
  return column.data + static_cast<std::ptrdiff_t>(row) * column.stride;
}

template <class T>
T load(const std::byte* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

inline std::int64_t read_signed(const std::byte* at, std::size_t width) {
  switch (width) {
    case 1:
      return load<std::int8_t>(at);
    case 2:
      return load<std::int16_t>(at);
    case 4:
      return load<std::int32_t>(at);
    default:
      return load<std::int64_t>(at);
  }
}

inline std::uint64_t read_unsigned(const std::byte* at, std::size_t width) {
  switch (width) {
    case 1:
      return load<std::uint8_t>(at);
    case 2:
      return load<std::uint16_t>(at);
    case 4:
      return load<std::uint32_t>(at);
    default:
      return load<std::uint64_t>(at);
  }
}

// The value of a number element as the nearest double (the type is valid).
inline double read_number(const Column& column, std::size_t row) {
  const std::byte* at = element_at(column, row);
  switch (column.kind) {
    case ElementKind::floating:
      return column.width == 4 ? static_cast<double>(load<float>(at)) : load<double>(at);
    case ElementKind::signed_integer:
      return static_cast<double>(read_signed(at, column.width));
    default:
      return static_cast<double>(read_unsigned(at, column.width));
  }
}

// A flag element's bits as an unsigned number: 0 and 1 are the valid flags,
// anything else (a negative integer included) is above 1.
inline std::uint64_t read_flag_bits(const Column& column, std::size_t row) {
  const std::byte* at = element_at(column, row);
  if (column.kind == ElementKind::signed_integer) {
    const std::int64_t value = read_signed(at, column.width);
    return value < 0 ? UINT64_MAX : static_cast<std::uint64_t>(value);
  }
  return read_unsigned(at, column.width);
}

}  // namespace quillmarrow
