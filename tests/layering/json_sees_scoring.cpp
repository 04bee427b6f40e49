// Must not compile: the JSON layer cannot see the scoring layer.
#include "scoring/tier.hpp"
