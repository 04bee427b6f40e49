// Must not compile: the JSON Lines layer decodes lines itself and cannot see
// the command layer.
#include "commands/run_command.hpp"
