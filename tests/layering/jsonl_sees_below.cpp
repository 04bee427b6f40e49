// Must compile: the JSON Lines layer sees the records, the result texts and,
// through them, the JSON and scoring layers.
#include "json/reader_core.hpp"
#include "jsonl/jsonl_chunk.hpp"
#include "records/record_reader.hpp"
#include "results/result_text.hpp"
#include "scoring/tier.hpp"
