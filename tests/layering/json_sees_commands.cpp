// Must not compile: the JSON layer cannot see the command layer.
#include "commands/run_command.hpp"
