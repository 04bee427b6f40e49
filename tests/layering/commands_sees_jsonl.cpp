// Must not compile: the command layer cannot see the JSON Lines layer.
#include "jsonl/jsonl_chunk.hpp"
