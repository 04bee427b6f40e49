// Must compile: the result texts see the JSON writer and the scoring results.
#include "json/writer.hpp"
#include "results/result_text.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"
