// Must not compile: the record layer cannot see the command layer above it.
#include "commands/run_command.hpp"
