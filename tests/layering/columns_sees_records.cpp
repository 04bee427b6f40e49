// Must not compile: the column layer cannot see the JSON input records.
#include "records/record_slots.hpp"
