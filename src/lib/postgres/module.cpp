// The library's mark for the server: it was built against this major
// version of PostgreSQL.
#include "server.hpp"

extern "C" {
PG_MODULE_MAGIC;
}
