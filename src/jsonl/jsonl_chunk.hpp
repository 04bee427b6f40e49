// "tier-jsonl" over a chunk of a JSON Lines export: bytes in; the decisions'
// text, the lines set aside and the counts per action out. Pure engine code
// with no shared state, so a caller may run chunks on any thread.
//
// Lines end at a line feed. Each non-blank line is decoded on its own (see
// jsonl_line.hpp), so a line can never reach into the next one; a line of
// only spaces, tabs and carriage returns is blank and skipped. A line longer
// than max_line_bytes (its line feed not counted) is bad, blank or not,
// without being read. Lines are numbered over the whole input, blank ones
// included, from first_line on.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "jsonl/record_names.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

struct JsonlOptions {
  bool with_id = true;
  std::string_view id_field = "id";  // the member copied into each decision as "id"
  // false: the first bad line stops the chunk (JsonlChunk::stop).
  // true: bad lines are written to JsonlChunk::errors and the chunk goes on.
  bool set_aside_bad_lines = false;
  std::size_t max_lines = SIZE_MAX;  // lines to take at most, blank ones included
  // The longest line taken; a longer one is a bad line, whose message names
  // the limit. A caller that reads a stream keeps the first
  // max_line_bytes + 1 bytes of such a line and drops the rest.
  std::size_t max_line_bytes = SIZE_MAX;
  // The member names and recall times of object records.
  JsonlNames names;
};

// "longer than 67,108,864 bytes, the limit of a line: ...": the message of
// a line longer than max_line_bytes.
std::string too_long_message(std::size_t max_line_bytes);

struct JsonlBadLine {
  std::uint64_t line = 0;
  std::string message;
};

struct JsonlChunk {
  // One decision per good line, in input order, each ending with a line feed:
  // {"action":...,"id":...,"retention":...,"tier":...} (no "id" when the
  // record has none or ids are off).
  std::string decisions;
  // One object per bad line set aside, each ending with a line feed:
  // {"id":...,"line":N,"message":"..."} ("id" only when the record has one).
  std::string errors;
  std::size_t consumed = 0;   // bytes of data taken: whole lines only
  std::uint64_t lines = 0;    // lines taken, blank and bad ones included
  std::uint64_t records = 0;  // decisions written
  std::uint64_t bad_lines = 0;
  std::array<std::uint64_t, kActionCount> actions{};  // decisions per Action
  std::optional<JsonlBadLine> stop;                   // the bad line that stopped the chunk
};

// Takes the whole lines at the start of data, up to options.max_lines. A
// last line without its line feed is taken only when at_end says the input
// ends there; otherwise it is left for the next call with more bytes. When a
// bad line stops the chunk, consumed and lines stop before it.
JsonlChunk tier_jsonl_chunk(std::string_view data, bool at_end, std::uint64_t first_line,
                            const JsonlOptions& options);

// Whether a line holds nothing but spaces, tabs and carriage returns.
bool is_blank_line(std::string_view line);

}  // namespace quillmarrow
