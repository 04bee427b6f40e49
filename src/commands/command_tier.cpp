#include "commands/commands.hpp"
#include "commands/single_record_handler.hpp"
#include "results/result_text.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

CommandResult run_tier(std::string_view payload) {
  return run_single_record(payload, kTierInputShape, [](const RecordSlots& slots, char* p) {
    return write_tier_decision(p, classify_tier(slots.tier_input()));
  });
}

}  // namespace quillmarrow
