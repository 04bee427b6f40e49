// Reporting a failed call to the server. ereport(ERROR) does not return: it
// jumps back into the server, past every frame between. It is therefore
// called only from the functions' C entries, after the C++ work has
// returned, and only where every local is trivially destructible.
#pragma once

#include "scalar/message.hpp"
#include "server.hpp"

#define QM_REPORT_INVALID_ARGUMENT(message) \
  ereport(ERROR, (errcode(ERRCODE_INVALID_PARAMETER_VALUE), errmsg("%s", (message).c_str())))
