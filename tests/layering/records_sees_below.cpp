// Must compile: the record layer sees the contract texts, the JSON reader and
// the scoring records.
#include "contract/texts.hpp"
#include "json/reader_core.hpp"
#include "records/record_reader.hpp"
#include "scoring/records.hpp"
