// Must not compile: the record layer cannot see the JSON Lines layer above it.
#include "jsonl/jsonl_chunk.hpp"
