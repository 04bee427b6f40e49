// The one place the extension includes PostgreSQL's server headers (C
// headers without C linkage markers of their own).
#pragma once

extern "C" {
#include "postgres.h"
// postgres.h first, as the server's own sources include it.
#include "access/htup_details.h"
#include "fmgr.h"
#include "funcapi.h"
#include "utils/builtins.h"
#include "utils/date.h"
#include "utils/timestamp.h"
}
