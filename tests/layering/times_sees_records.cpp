// Must not compile: recall times know nothing of the input records' decoding.
#include "records/record_slots.hpp"
