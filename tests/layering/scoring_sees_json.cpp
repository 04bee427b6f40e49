// Must not compile: the scoring layer cannot see the JSON layer.
#include "json/reader_core.hpp"
