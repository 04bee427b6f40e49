// Must compile: the JSON Lines layer sees the records, the result texts, the
// recall times and, through them, the JSON, scoring, scalar and column layers.
#include "json/reader_core.hpp"
#include "jsonl/jsonl_chunk.hpp"
#include "records/record_reader.hpp"
#include "results/result_text.hpp"
#include "scalar/days_since.hpp"
#include "scoring/tier.hpp"
#include "times/recall_column.hpp"
