// quillmarrow_days_since(recalled_at, now, max_skew): days since recall by
// the package's one rule (scalar/days_since.hpp). recalled_at is a
// timestamp with time zone, a timestamp without one (taken as UTC, as
// retier takes it) or a date (its midnight, UTC); now is a timestamp with
// time zone. An infinite time is reported as not finite.
#include <cstdint>
#include <limits>

#include "report.hpp"
#include "scalar/days_since.hpp"
#include "server.hpp"

namespace {

using quillmarrow::DaysSinceInput;
using quillmarrow::ScalarMessage;

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// From 1970-01-01 to 2000-01-01, PostgreSQL's epoch for dates, in days.
constexpr std::int64_t kPostgresEpochDays = 10'957;

// Microseconds since 2000 as Unix seconds; the infinities as infinities.
double timestamp_seconds(std::int64_t value) noexcept {
  if (value == DT_NOBEGIN) return -kInfinity;
  if (value == DT_NOEND) return kInfinity;
  return quillmarrow::unix_seconds_since_2000(value);
}

double date_seconds(DateADT value) noexcept {
  if (DATE_IS_NOBEGIN(value)) return -kInfinity;
  if (DATE_IS_NOEND(value)) return kInfinity;
  // A whole number of days: exact in seconds, and the same double as its
  // microseconds divided by 1e6, over the whole range of dates.
  return static_cast<double>(static_cast<std::int64_t>(value) + kPostgresEpochDays) * 86400.0;
}

// An interval in seconds, a day counted as 86,400 seconds and a month as 30
// days, as PostgreSQL compares intervals.
double interval_seconds(const Interval* value) noexcept {
  return static_cast<double>(value->time) / 1e6 + static_cast<double>(value->day) * 86400.0 +
         static_cast<double>(value->month) * (30.0 * 86400.0);
}

// The common tail of the three entries: now and max_skew, then the count.
bool count_days(FunctionCallInfo fcinfo, double recalled_at, double& days,
                ScalarMessage& message) noexcept {
  const DaysSinceInput input{recalled_at, timestamp_seconds(PG_GETARG_TIMESTAMPTZ(1)),
                             interval_seconds(PG_GETARG_INTERVAL_P(2))};
  return quillmarrow::days_since_recall("quillmarrow_days_since", input, days, message);
}

}  // namespace

extern "C" {

PG_FUNCTION_INFO_V1(quillmarrow_days_since);
PG_FUNCTION_INFO_V1(quillmarrow_days_since_utc);
PG_FUNCTION_INFO_V1(quillmarrow_days_since_date);

Datum quillmarrow_days_since(PG_FUNCTION_ARGS) {
  ScalarMessage message;
  double days = 0.0;
  if (!count_days(fcinfo, timestamp_seconds(PG_GETARG_TIMESTAMPTZ(0)), days, message)) {
    QM_REPORT_INVALID_ARGUMENT(message);
  }
  PG_RETURN_FLOAT8(days);
}

Datum quillmarrow_days_since_utc(PG_FUNCTION_ARGS) {
  ScalarMessage message;
  double days = 0.0;
  if (!count_days(fcinfo, timestamp_seconds(PG_GETARG_TIMESTAMP(0)), days, message)) {
    QM_REPORT_INVALID_ARGUMENT(message);
  }
  PG_RETURN_FLOAT8(days);
}

Datum quillmarrow_days_since_date(PG_FUNCTION_ARGS) {
  ScalarMessage message;
  double days = 0.0;
  if (!count_days(fcinfo, date_seconds(PG_GETARG_DATEADT(0)), days, message)) {
    QM_REPORT_INVALID_ARGUMENT(message);
  }
  PG_RETURN_FLOAT8(days);
}

}  // extern "C"
