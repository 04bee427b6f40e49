// Must not compile: the scoring layer cannot see the command layer.
#include "commands/run_command.hpp"
