#include "result_rows.hpp"

#include <cstddef>
#include <cstring>

namespace quillmarrow {

namespace {

inline constexpr int kMaxNumbers = 3;

// A formed row and where its double-precision attributes lie in it.
struct RowTemplate {
  HeapTupleHeader data;
  std::uint32_t length;
  std::uint32_t number_offsets[kMaxNumbers];  // from the start of data
};

struct TierTemplates {
  RowTemplate by_action[kActionCount];
};

// The row type of the function's result, blessed, in the current memory context.
TupleDesc result_description(FunctionCallInfo fcinfo) {
  TupleDesc description = nullptr;
  if (get_call_result_type(fcinfo, nullptr, &description) != TYPEFUNC_COMPOSITE) {
    ereport(ERROR, (errcode(ERRCODE_FEATURE_NOT_SUPPORTED),
                    errmsg("function returning a row called in a context that cannot accept one")));
  }
  return BlessTupleDesc(description);
}

// Forms the row from values (no nulls) and records the offsets of the
// attributes listed in numbers, walking the attributes as the server's
// tuple deforming does.
RowTemplate form_template(TupleDesc description, Datum* values, const int* numbers,
                          int number_count) {
  bool nulls[MaxTupleAttributeNumber > 8 ? 8 : MaxTupleAttributeNumber] = {};
  const HeapTuple tuple = heap_form_tuple(description, values, nulls);
  RowTemplate row{};
  row.data = tuple->t_data;
  row.length = tuple->t_len;
  char* const start = reinterpret_cast<char*>(tuple->t_data);
  char* const fields = start + tuple->t_data->t_hoff;
  std::uint32_t offset = 0;
  for (int attribute = 0; attribute < description->natts; ++attribute) {
    const Form_pg_attribute form = TupleDescAttr(description, attribute);
    offset = att_align_pointer(offset, form->attalign, form->attlen, fields + offset);
    for (int k = 0; k < number_count; ++k) {
      if (numbers[k] == attribute) {
        row.number_offsets[k] = static_cast<std::uint32_t>(fields + offset - start);
      }
    }
    offset = att_addlength_pointer(offset, form->attlen, fields + offset);
  }
  return row;
}

// A copy of the template in the current memory context, with its numbers.
Datum fill(const RowTemplate& row, const double* numbers, int number_count) {
  char* copy = static_cast<char*>(palloc(row.length));
  std::memcpy(copy, row.data, row.length);
  for (int k = 0; k < number_count; ++k) {
    std::memcpy(copy + row.number_offsets[k], &numbers[k], sizeof(double));
  }
  return PointerGetDatum(copy);
}

template <class Templates, class Make>
const Templates* call_site_templates(FunctionCallInfo fcinfo, Make make) {
  if (fcinfo->flinfo->fn_extra != nullptr) {
    return static_cast<const Templates*>(fcinfo->flinfo->fn_extra);
  }
  const MemoryContext previous = MemoryContextSwitchTo(fcinfo->flinfo->fn_mcxt);
  auto* templates = static_cast<Templates*>(palloc(sizeof(Templates)));
  make(*templates, result_description(fcinfo));
  MemoryContextSwitchTo(previous);
  fcinfo->flinfo->fn_extra = templates;
  return templates;
}

Datum name_text(std::string_view name) {
  return PointerGetDatum(cstring_to_text_with_len(name.data(), static_cast<int>(name.size())));
}

}  // namespace

Datum score_row(FunctionCallInfo fcinfo, const RetentionScore& score) {
  const RowTemplate* row =
      call_site_templates<RowTemplate>(fcinfo, [](RowTemplate& out, TupleDesc description) {
        Datum values[3] = {Float8GetDatum(0.0), Float8GetDatum(0.0), Float8GetDatum(0.0)};
        const int numbers[3] = {0, 1, 2};
        out = form_template(description, values, numbers, 3);
      });
  const double numbers[3] = {score.retention, score.stability, score.boost};
  return fill(*row, numbers, 3);
}

Datum tier_row(FunctionCallInfo fcinfo, const TierDecision& decision) {
  const TierTemplates* rows =
      call_site_templates<TierTemplates>(fcinfo, [](TierTemplates& out, TupleDesc description) {
        for (std::size_t code = 0; code < kActionCount; ++code) {
          const auto action = static_cast<Action>(code);
          Datum values[3] = {name_text(tier_name(tier_of(action))), name_text(action_name(action)),
                             Float8GetDatum(0.0)};
          const int numbers[1] = {2};
          out.by_action[code] = form_template(description, values, numbers, 1);
        }
      });
  return fill(rows->by_action[static_cast<std::size_t>(decision.action)], &decision.retention, 1);
}

}  // namespace quillmarrow
