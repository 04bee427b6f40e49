// Must compile: recall times see the row-at-a-time layer and the column kernels.
#include "columns/column.hpp"
#include "scalar/days_since.hpp"
#include "times/iso8601.hpp"
#include "times/recall_column.hpp"
