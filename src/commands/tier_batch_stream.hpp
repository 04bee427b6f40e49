// "tier-batch" straight from the payload text, without a value tree.
//
// A batch of a million items as a value tree costs several times the payload
// in memory and one allocation per member. This decoder instead listens to the
// reader's events, keeps only the few known fields of the element at hand,
// classifies each element as soon as it closes and appends its decision to
// the output text. Everything observable is as if the whole payload had been
// parsed into a tree first: a syntax error anywhere wins over any decoding
// error, the last "items" member of the top-level object is the one used,
// and the first element that does not decode fails the batch.
#pragma once

#include <string_view>

#include "commands/run_command.hpp"

namespace quillmarrow {

// The whole "tier-batch" command: the output text of the success envelope,
// or the engine error.
CommandResult run_tier_batch_stream(std::string_view payload);

}  // namespace quillmarrow
