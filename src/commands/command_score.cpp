#include "commands/commands.hpp"
#include "commands/single_record_handler.hpp"
#include "results/result_text.hpp"
#include "scoring/retention.hpp"

namespace quillmarrow {

CommandResult run_score(std::string_view payload) {
  return run_single_record(payload, kRetentionInputShape, [](const RecordSlots& slots, char* p) {
    return write_retention_score(p, compute_retention_score(slots.retention_input()));
  });
}

}  // namespace quillmarrow
