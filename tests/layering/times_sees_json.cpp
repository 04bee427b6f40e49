// Must not compile: recall times are read without the JSON layer.
#include "json/reader_core.hpp"
