// Must not compile: the recall-time layer is below JSON Lines, which reads
// recall times through it, and cannot see it.
#include "jsonl/jsonl_chunk.hpp"
