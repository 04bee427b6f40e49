// Must compile: the column layer sees the scoring layer.
#include "columns/kernels.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"
