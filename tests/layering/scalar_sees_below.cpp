// Must compile: the row-at-a-time layer sees the scoring layer.
#include "scalar/days_since.hpp"
#include "scalar/finite.hpp"
#include "scoring/records.hpp"
