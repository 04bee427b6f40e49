// Must not compile: the JSON layer cannot see the record layer.
#include "records/record_reader.hpp"
