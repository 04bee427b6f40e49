// The functions of the quillmarrow_engine._bulk module, one method record
// each. Each record lives for the whole process (the function objects point
// at it).
#pragma once

#include <array>

#include "boundary/python.hpp"

namespace quillmarrow {

// tier_columns(days_since_recall, retrieval_count, importance, frequency,
//              is_procedural, keep_forever, retention, tier, action, threads, /)
PyMethodDef tier_columns_method();
// score_columns(days_since_recall, retrieval_count, importance, frequency,
//               retention, stability, boost, threads, /)
PyMethodDef score_columns_method();
// tier_jsonl_chunk(data, start, end, at_end, first_line, max_lines, id_field,
//                  set_aside, max_line_bytes, members, recall, /)
PyMethodDef tier_jsonl_chunk_method();
// The row-at-a-time functions for SQLite: retention, score_json, tier_json,
// tier_name, action_name and days_since.
std::array<PyMethodDef, 6> scalar_methods();
// recall_days(kind, values, offsets, first, unit, now, max_skew, name, days, /)
// time_seconds(text, unit, /) and text_numbers(data, offsets, first, name,
// out, /): recall times to days since recall, number texts to doubles.
std::array<PyMethodDef, 3> recall_methods();

}  // namespace quillmarrow
