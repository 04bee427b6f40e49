// Must not compile: the column layer cannot see the command layer.
#include "commands/run_command.hpp"
