// Must not compile: the column layer reads no JSON.
#include "json/reader_core.hpp"
