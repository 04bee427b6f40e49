// Must compile: the command layer sees the JSON and scoring layers.
#include "commands/run_command.hpp"
#include "json/reader_core.hpp"
#include "scoring/tier.hpp"
