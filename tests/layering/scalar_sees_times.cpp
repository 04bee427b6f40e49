// Must not compile: the row-at-a-time layer sits below recall times.
#include "times/iso8601.hpp"
