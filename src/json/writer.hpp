// JSON text out: doubles for the result texts the commands write, and the
// numbers and strings the JSON Lines kernel copies into its decisions (item
// ids).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "json/number.hpp"

namespace quillmarrow {

// The text of a finite double in its shortest round-trip form: "1.0", "0.5",
// "1e+16", "1e-6", "-0.0".
std::string format_double(double x);
// Appends format_double(x) to out without building an intermediate string.
void append_double(std::string& out, double x);

// The compact text of one number or string: integers in decimal ("17",
// "-3"), doubles as format_double writes them; strings quoted, with the
// double quote, the backslash and the bytes below 0x20 escaped.
void append_json_number(std::string& out, const JsonNumber& number);
void append_json_string(std::string& out, std::string_view text);

// The room write_double needs: a double's text is at most 24 bytes, and the
// rest lets it move digits in fixed-size blocks.
inline constexpr std::size_t kDoubleTextRoom = 48;
// Writes format_double(x) into buf, which has kDoubleTextRoom bytes, and
// returns its length: for texts assembled in a local buffer.
std::size_t write_double(char* buf, double x);

}  // namespace quillmarrow
