// Must not compile: the row-at-a-time layer reads no JSON.
#include "json/reader_core.hpp"
