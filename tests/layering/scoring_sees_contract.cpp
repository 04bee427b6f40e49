// Must not compile: the scoring layer has no messages and cannot see the
// contract texts.
#include "contract/texts.hpp"
