// Must not compile: the result texts cannot see the input records.
#include "records/engine_error.hpp"
