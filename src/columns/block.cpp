#include "columns/block.hpp"

#include <bit>
#include <cstdint>

#include "columns/element.hpp"

namespace quillmarrow {

namespace {

// Branch-free, so that the compiler can check several values per step.
bool all_finite(const double* values, std::size_t count) {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000u;
  bool bad = false;
  for (std::size_t i = 0; i < count; ++i) {
    bad |= (std::bit_cast<std::uint64_t>(values[i]) & kExponent) == kExponent;
  }
  return !bad;
}

template <class T>
void convert(const Column& column, std::size_t start, std::size_t count, double* out) {
  const std::byte* at = element_at(column, start);
  for (std::size_t i = 0; i < count; ++i, at += column.stride) {
    out[i] = static_cast<double>(load<T>(at));
  }
}

void convert_number(const Column& column, std::size_t start, std::size_t count, double* out) {
  switch (column.kind) {
    case ElementKind::floating:
      if (column.width == 4) return convert<float>(column, start, count, out);
      return convert<double>(column, start, count, out);
    case ElementKind::signed_integer:
      switch (column.width) {
        case 1:
          return convert<std::int8_t>(column, start, count, out);
        case 2:
          return convert<std::int16_t>(column, start, count, out);
        case 4:
          return convert<std::int32_t>(column, start, count, out);
        default:
          return convert<std::int64_t>(column, start, count, out);
      }
    default:
      switch (column.width) {
        case 1:
          return convert<std::uint8_t>(column, start, count, out);
        case 2:
          return convert<std::uint16_t>(column, start, count, out);
        case 4:
          return convert<std::uint32_t>(column, start, count, out);
        default:
          return convert<std::uint64_t>(column, start, count, out);
      }
  }
}

}  // namespace

const double* number_block(const Column& column, std::size_t start, std::size_t count,
                           NumberBlock& scratch, bool& bad) {
  const bool in_place = column.kind == ElementKind::floating && column.width == sizeof(double) &&
                        column.stride == static_cast<std::ptrdiff_t>(sizeof(double));
  const double* values = scratch.data();
  if (in_place) {
    values = reinterpret_cast<const double*>(element_at(column, start));
  } else {
    convert_number(column, start, count, scratch.data());
  }
  // Integers convert to finite doubles; only floating-point input is checked.
  if (column.kind == ElementKind::floating && !all_finite(values, count)) bad = true;
  return values;
}

const unsigned char* flag_block(const std::optional<Column>& column, std::size_t start,
                                std::size_t count, FlagBlock& scratch, bool& bad) {
  if (!column) {
    scratch.fill(0);
    return scratch.data();
  }
  if (column->width == 1 && column->stride == 1) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(element_at(*column, start));
    unsigned char above = 0;
    for (std::size_t i = 0; i < count; ++i) above |= static_cast<unsigned char>(bytes[i] & 0xfe);
    // A signed byte of -1 is 0xff, caught here as well.
    if (above != 0) bad = true;
    return bytes;
  }
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint64_t bits = read_flag_bits(*column, start + i);
    if (bits > 1) bad = true;
    scratch[i] = static_cast<unsigned char>(bits & 1);
  }
  return scratch.data();
}

}  // namespace quillmarrow
