// Helpers shared by the fuzz targets: UTF-8 checks, a value comparison that
// tolerates the reader's last-bit rounding of doubles, and a failure report
// that aborts so libFuzzer saves the input.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <variant>

#include "json/utf8.hpp"
#include "reference/value.hpp"

namespace quillmarrow::fuzz {

[[noreturn]] inline void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "FUZZ CHECK FAILED: %s\n", what);
  if (!detail.empty()) {
    std::fprintf(stderr, "  detail (%zu bytes): %.*s\n", detail.size(),
                 static_cast<int>(detail.size() > 400 ? 400 : detail.size()), detail.data());
  }
  std::abort();
}

#define QM_FUZZ_CHECK(cond, detail)                          \
  do {                                                       \
    if (!(cond)) ::quillmarrow::fuzz::fail(#cond, (detail)); \
  } while (0)

inline bool is_valid_utf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Sequence sequence = utf8_sequence_at(text, i);
    if (!sequence.well_formed) return false;
    i += sequence.length;
  }
  return true;
}

// What the Python boundary can hand over: every byte that does not start a
// well-formed sequence becomes U+FFFD, so the result is always well-formed.
inline std::string repair_utf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const Utf8Sequence sequence = utf8_sequence_at(text, i);
    if (sequence.well_formed) {
      out.append(text.substr(i, sequence.length));
      i += sequence.length;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

// Distance in units in the last place between two finite doubles of the same
// sign (0 and -0 count as equal only when their bits are equal).
inline std::uint64_t ulp_distance(double a, double b) {
  if (std::signbit(a) != std::signbit(b)) return a == 0.0 && b == 0.0 ? 1 : UINT64_MAX;
  std::uint64_t ia = 0;
  std::uint64_t ib = 0;
  std::memcpy(&ia, &a, sizeof a);
  std::memcpy(&ib, &b, sizeof b);
  return ia > ib ? ia - ib : ib - ia;
}

// Reading a decimal text multiplies or divides a rounded significand by a
// rounded power of ten, so a double written in shortest form can come back a
// few units in the last place away. Everything else must be identical.
inline constexpr std::uint64_t kRereadUlpTolerance = 3;

struct Comparison {
  bool same_shape = true;             // kinds, representations, keys, strings equal
  std::uint64_t drifted_doubles = 0;  // doubles that differ within the tolerance
};

inline void compare_values(const JsonValue& a, const JsonValue& b, Comparison& result) {
  if (!result.same_shape) return;
  if (a.data.index() != b.data.index()) {
    result.same_shape = false;
    return;
  }
  if (const JsonNumber* na = a.as_number()) {
    const JsonNumber& nb = *b.as_number();
    if (na->kind != nb.kind) {
      result.same_shape = false;
    } else if (na->kind == JsonNumber::Kind::floating) {
      const std::uint64_t d = ulp_distance(na->double_value, nb.double_value);
      if (d > kRereadUlpTolerance) {
        result.same_shape = false;
      } else if (d != 0) {
        ++result.drifted_doubles;
      }
    } else if (!(*na == nb)) {
      result.same_shape = false;
    }
  } else if (const JsonArray* aa = a.as_array()) {
    const JsonArray& ab = *b.as_array();
    if (aa->size() != ab.size()) {
      result.same_shape = false;
      return;
    }
    for (std::size_t i = 0; i < aa->size(); ++i) compare_values((*aa)[i], ab[i], result);
  } else if (const JsonObject* oa = a.as_object()) {
    const JsonObject& ob = *b.as_object();
    if (oa->size() != ob.size()) {
      result.same_shape = false;
      return;
    }
    auto ib = ob.begin();
    for (auto ia = oa->begin(); ia != oa->end(); ++ia, ++ib) {
      if (ia->key != ib->key) {
        result.same_shape = false;
        return;
      }
      compare_values(ia->value, ib->value, result);
    }
  } else if (!(a == b)) {
    result.same_shape = false;
  }
}

}  // namespace quillmarrow::fuzz
