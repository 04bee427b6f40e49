#include "columns/kernels.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <span>
#include <string>

#include "columns/block.hpp"
#include "columns/slices.hpp"
#include "scoring/retention.hpp"
#include "scoring/tier.hpp"

namespace quillmarrow {

namespace {

std::string rows_text(std::size_t rows) {
  return std::to_string(rows) + (rows == 1 ? " row" : " rows");
}

ColumnError length_error(const Column& column, const Column& first) {
  return ColumnError{ColumnError::Kind::value, "column '" + std::string(column.name) + "' has " +
                                                   rows_text(column.length) + ", but column '" +
                                                   std::string(first.name) + "' has " +
                                                   std::to_string(first.length)};
}

// Types, then lengths: every column as long as the first and the outputs.
std::optional<ColumnError> check_shapes(std::span<const Column* const> numbers,
                                        std::span<const Column* const> flags,
                                        std::size_t output_length) {
  for (const Column* column : numbers) {
    if (auto error = check_number_type(*column)) return error;
  }
  for (const Column* column : flags) {
    if (auto error = check_flag_type(*column)) return error;
  }
  const Column& first = *numbers.front();
  for (std::span<const Column* const> group : {numbers, flags}) {
    for (const Column* column : group) {
      if (column->length != first.length) return length_error(*column, first);
    }
  }
  if (output_length != first.length) {
    return ColumnError{ColumnError::Kind::value, "the outputs have " + rows_text(output_length) +
                                                     ", but the columns have " +
                                                     std::to_string(first.length)};
  }
  return std::nullopt;
}

// Called once a block has shown a bad value: the first bad column in
// parameter order, at its first bad row.
ColumnError first_bad_value(std::span<const Column* const> numbers,
                            std::span<const Column* const> flags) {
  for (const Column* column : numbers) {
    if (auto error = find_bad_number(*column)) return std::move(*error);
  }
  for (const Column* column : flags) {
    if (auto error = find_bad_flag(*column)) return std::move(*error);
  }
  // Another thread wrote into an input while it was read.
  return ColumnError{ColumnError::Kind::value, "an input column changed while it was read"};
}

// The four number columns of a record, in parameter order.
using NumberColumns = std::array<const Column*, 4>;

NumberColumns number_columns(const Column& days, const Column& counts, const Column& importance,
                             const Column& frequency) {
  return {&days, &counts, &importance, &frequency};
}

// The rows [start, start + count) of the four number columns as doubles;
// bad is set when a block holds a value that is not a finite number.
std::array<const double*, 4> number_blocks(const NumberColumns& numbers, std::size_t start,
                                           std::size_t count, std::array<NumberBlock, 4>& scratch,
                                           bool& bad) {
  std::array<const double*, 4> blocks;
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    blocks[k] = number_block(*numbers[k], start, count, scratch[k], bad);
  }
  return blocks;
}

// Set by the slice that meets a bad value; the other slices see it at their
// next block and stop, since the call's answer is then the error alone.
using BadValueSeen = std::atomic<bool>;

// Scores rows [range.begin, range.end), a block at a time, until the end or
// a block with a bad value.
void score_slice(const NumberColumns& numbers, const ScoreOutputs& out, RowRange range,
                 BadValueSeen& bad_seen) {
  std::array<NumberBlock, 4> scratch;
  for (std::size_t start = range.begin; start < range.end; start += kBlockRows) {
    if (bad_seen.load(std::memory_order_relaxed)) return;
    const std::size_t count = std::min(kBlockRows, range.end - start);
    bool bad = false;
    const auto [days, counts, importance, frequency] =
        number_blocks(numbers, start, count, scratch, bad);
    if (bad) {
      bad_seen.store(true, std::memory_order_relaxed);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const RetentionScore score =
          compute_retention_score(RetentionInput{days[i], counts[i], importance[i], frequency[i]});
      out.retention[start + i] = score.retention;
      out.stability[start + i] = score.stability;
      out.boost[start + i] = score.boost;
    }
  }
}

// Tiers rows [range.begin, range.end) in the same way.
void tier_slice(const NumberColumns& numbers, const TierColumns& columns, const TierOutputs& out,
                RowRange range, BadValueSeen& bad_seen) {
  // The output pointers in locals: a byte written through a pointer held in
  // `out` could, for all the compiler knows, change `out` itself, and it
  // would load the pointers again after every byte.
  double* const retention = out.retention;
  unsigned char* const tier = out.tier;
  unsigned char* const action = out.action;
  std::array<NumberBlock, 4> scratch;
  std::array<FlagBlock, 2> flag_scratch;
  for (std::size_t start = range.begin; start < range.end; start += kBlockRows) {
    if (bad_seen.load(std::memory_order_relaxed)) return;
    const std::size_t count = std::min(kBlockRows, range.end - start);
    bool bad = false;
    const auto [days, counts, importance, frequency] =
        number_blocks(numbers, start, count, scratch, bad);
    const unsigned char* procedural =
        flag_block(columns.is_procedural, start, count, flag_scratch[0], bad);
    const unsigned char* pinned =
        flag_block(columns.keep_forever, start, count, flag_scratch[1], bad);
    if (bad) {
      bad_seen.store(true, std::memory_order_relaxed);
      return;
    }
    for (std::size_t i = 0; i < count; ++i) {
      const TierDecision decision = classify_tier(TierInput{
          days[i], counts[i], importance[i], frequency[i], procedural[i] != 0, pinned[i] != 0});
      retention[start + i] = decision.retention;
      action[start + i] = static_cast<unsigned char>(decision.action);
      tier[start + i] = static_cast<unsigned char>(decision.tier());
    }
  }
}

}  // namespace

// Whichever slice met a bad value, and however many did, the error is found
// again by one scan of the whole columns after every thread has finished:
// the answer is the single-threaded one, whatever the thread count.
std::optional<ColumnError> score_columns(const ScoreColumns& columns, const ScoreOutputs& out,
                                         std::size_t threads) {
  const NumberColumns numbers = number_columns(columns.days_since_recall, columns.retrieval_count,
                                               columns.importance, columns.frequency);
  if (auto error = check_shapes(numbers, std::span<const Column* const>{}, out.length))
    return error;

  BadValueSeen bad_seen{false};
  run_in_slices(out.length, threads,
                [&](RowRange range) { score_slice(numbers, out, range, bad_seen); });
  if (bad_seen.load()) return first_bad_value(numbers, std::span<const Column* const>{});
  return std::nullopt;
}

std::optional<ColumnError> tier_columns(const TierColumns& columns, const TierOutputs& out,
                                        std::size_t threads) {
  const NumberColumns numbers = number_columns(columns.days_since_recall, columns.retrieval_count,
                                               columns.importance, columns.frequency);
  // The present flags, in parameter order.
  std::array<const Column*, 2> flag_storage{};
  std::size_t flag_count = 0;
  if (columns.is_procedural) flag_storage[flag_count++] = &*columns.is_procedural;
  if (columns.keep_forever) flag_storage[flag_count++] = &*columns.keep_forever;
  const std::span<const Column* const> flags(flag_storage.data(), flag_count);
  if (auto error = check_shapes(numbers, flags, out.length)) return error;

  BadValueSeen bad_seen{false};
  run_in_slices(out.length, threads,
                [&](RowRange range) { tier_slice(numbers, columns, out, range, bad_seen); });
  if (bad_seen.load()) return first_bad_value(numbers, flags);
  return std::nullopt;
}

}  // namespace quillmarrow
