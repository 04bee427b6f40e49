// Must not compile: the record layer reads input only and cannot see the
// result texts.
#include "results/result_text.hpp"
