// Must compile: the command layer sees the records, the result texts and,
// through them, the JSON, scoring and contract layers.
#include "commands/run_command.hpp"
#include "contract/texts.hpp"
#include "json/reader_core.hpp"
#include "records/record_reader.hpp"
#include "results/result_text.hpp"
#include "scoring/tier.hpp"
