#include "jsonl/jsonl_chunk.hpp"

#include <cstring>

#include "json/writer.hpp"
#include "jsonl/jsonl_line.hpp"
#include "results/result_text.hpp"

namespace quillmarrow {

namespace {

using std::literals::string_view_literals::operator""sv;

// A decision with the item's id between "action" and "retention", where its
// key falls in byte order.
void append_decision_with_id(std::string& out, const TierDecision& decision,
                             std::string_view id_text) {
  out.append(R"({"action":")"sv);
  out.append(action_name(decision.action));
  out.append(R"(","id":)"sv);
  out.append(id_text);
  out.append(R"(,"retention":)"sv);
  append_double(out, decision.retention);
  out.append(R"(,"tier":")"sv);
  out.append(tier_name(decision.tier()));
  out.append(R"("})"sv);
}

void append_bad_line(std::string& out, std::uint64_t line, std::string_view message,
                     const JsonlLineHandler& handler) {
  out.push_back('{');
  if (handler.has_id()) {
    out.append(R"("id":)"sv);
    out.append(handler.id_text());
    out.push_back(',');
  }
  out.append(R"("line":)"sv);
  append_json_number(out, JsonNumber::from_unsigned(line));
  out.append(R"(,"message":)"sv);
  append_json_string(out, message);
  out.append("}\n"sv);
}

// Digits in groups of three: 67,108,864.
std::string grouped(std::size_t value) {
  std::string digits = std::to_string(value);
  for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
  return digits;
}

}  // namespace

std::string too_long_message(std::size_t max_line_bytes) {
  return "longer than " + grouped(max_line_bytes) +
         " bytes, the limit of a line: raise it with max_line_bytes (--max-line-bytes)";
}

bool is_blank_line(std::string_view line) {
  for (const char c : line) {
    if (c != ' ' && c != '\t' && c != '\r') return false;
  }
  return true;
}

JsonlChunk tier_jsonl_chunk(std::string_view data, bool at_end, std::uint64_t first_line,
                            const JsonlOptions& options) {
  JsonlChunk chunk;
  // A decision is rarely longer than the record it comes from.
  chunk.decisions.reserve(data.size() + 64);
  JsonlLineHandler handler(options.id_field, options.with_id, options.names);
  std::size_t pos = 0;
  while (pos < data.size() && chunk.lines < options.max_lines) {
    const void* feed = std::memchr(data.data() + pos, '\n', data.size() - pos);
    std::size_t end;
    std::size_t next;
    if (feed != nullptr) {
      end = static_cast<std::size_t>(static_cast<const char*>(feed) - data.data());
      next = end + 1;
    } else if (at_end) {
      end = data.size();
      next = end;
    } else {
      break;
    }
    const std::string_view line = data.substr(pos, end - pos);
    const std::uint64_t number = first_line + chunk.lines;
    if (line.size() > options.max_line_bytes) {
      // Not read: its id, if any, stays unknown.
      handler.start_line();
      std::string message = too_long_message(options.max_line_bytes);
      if (!options.set_aside_bad_lines) {
        chunk.stop = JsonlBadLine{number, std::move(message)};
        break;
      }
      append_bad_line(chunk.errors, number, message, handler);
      ++chunk.bad_lines;
    } else if (!is_blank_line(line)) {
      JsonlLineResult result = tier_jsonl_line(line, handler);
      if (result.decision) {
        if (handler.has_id()) {
          append_decision_with_id(chunk.decisions, *result.decision, handler.id_text());
        } else {
          append_tier_decision(chunk.decisions, *result.decision);
        }
        chunk.decisions.push_back('\n');
        ++chunk.records;
        ++chunk.actions[static_cast<std::size_t>(result.decision->action)];
      } else if (options.set_aside_bad_lines) {
        append_bad_line(chunk.errors, number, result.message, handler);
        ++chunk.bad_lines;
      } else {
        chunk.stop = JsonlBadLine{number, std::move(result.message)};
        break;
      }
    }
    pos = next;
    ++chunk.lines;
  }
  chunk.consumed = pos;
  return chunk;
}

}  // namespace quillmarrow
