-- The quillmarrow engine's scoring functions. Each runs the engine's own
-- scoring code, so every answer is bit for bit the one the engine's "score"
-- and "tier" commands (and its column functions) give for the same doubles.
-- Numbers are taken as double precision: real, integer, bigint and numeric
-- arguments convert implicitly, to the nearest double. All functions are
-- STRICT (a NULL argument gives NULL), and a NaN or infinite argument raises
-- an error naming it.

\echo Use "CREATE EXTENSION quillmarrow" to load this file. \quit

CREATE TYPE quillmarrow_score_result AS (
  retention double precision,
  stability double precision,
  boost double precision
);

CREATE TYPE quillmarrow_tier_decision AS (
  tier text,
  action text,
  retention double precision
);

CREATE FUNCTION quillmarrow_retention(
  days_since_recall double precision,
  retrieval_count double precision,
  importance double precision,
  frequency double precision
) RETURNS double precision
AS 'MODULE_PATHNAME', 'quillmarrow_retention'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION quillmarrow_score(
  days_since_recall double precision,
  retrieval_count double precision,
  importance double precision,
  frequency double precision
) RETURNS quillmarrow_score_result
AS 'MODULE_PATHNAME', 'quillmarrow_score'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

CREATE FUNCTION quillmarrow_tier(
  days_since_recall double precision,
  retrieval_count double precision,
  importance double precision,
  frequency double precision,
  is_procedural boolean DEFAULT false,
  keep_forever boolean DEFAULT false
) RETURNS quillmarrow_tier_decision
AS 'MODULE_PATHNAME', 'quillmarrow_tier'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

-- Days from recalled_at to now: both as Unix seconds (whole microseconds
-- divided once by 1e6), (now - recalled_at) / 86400. A recalled_at after
-- now is an error unless it is at most max_skew ahead, when it counts as
-- day 0. The function is immutable: the default now() is evaluated by the
-- query that calls it, at its start.
CREATE FUNCTION quillmarrow_days_since(
  recalled_at timestamp with time zone,
  now timestamp with time zone DEFAULT now(),
  max_skew interval DEFAULT '5 minutes'
) RETURNS double precision
AS 'MODULE_PATHNAME', 'quillmarrow_days_since'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

-- A timestamp without time zone is taken as UTC, whatever the session's
-- TimeZone (as quillmarrow-engine retier takes it).
CREATE FUNCTION quillmarrow_days_since(
  recalled_at timestamp without time zone,
  now timestamp with time zone DEFAULT now(),
  max_skew interval DEFAULT '5 minutes'
) RETURNS double precision
AS 'MODULE_PATHNAME', 'quillmarrow_days_since_utc'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;

-- A date counts from its midnight, UTC.
CREATE FUNCTION quillmarrow_days_since(
  recalled_at date,
  now timestamp with time zone DEFAULT now(),
  max_skew interval DEFAULT '5 minutes'
) RETURNS double precision
AS 'MODULE_PATHNAME', 'quillmarrow_days_since_date'
LANGUAGE C IMMUTABLE STRICT PARALLEL SAFE;
