// Must compile: the JSON layer sees the contract texts.
#include "contract/texts.hpp"
#include "json/reader_core.hpp"
