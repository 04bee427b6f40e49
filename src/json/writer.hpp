// Doubles as JSON text, for the result texts the commands write.
#pragma once

#include <string>

namespace quillmarrow {

// The text of a finite double in its shortest round-trip form: "1.0", "0.5",
// "1e+16", "1e-6", "-0.0".
std::string format_double(double x);
// Appends format_double(x) to out without building an intermediate string.
void append_double(std::string& out, double x);

}  // namespace quillmarrow
