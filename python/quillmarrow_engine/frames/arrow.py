"""pyarrow Tables and RecordBatches in, the same out: retention (float64),
tier and action dictionary-encoded strings (int8 indices into all of TIERS and
ACTIONS), or stability and boost for scoring."""

from __future__ import annotations

from typing import Any

from ..fields import ACTIONS, TIERS
from .inputs import compute
from .kernels import TierResult
from .vocabulary import Vocabulary

__all__ = ["apply", "is_table", "result_arrays"]


def is_table(data: Any) -> bool:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    return isinstance(data, (pa.Table, pa.RecordBatch))


def result_arrays(result: Any, vocab: Vocabulary) -> dict[str, Any]:
    """The result columns as Arrow arrays, under the names they are written to."""
    import pyarrow as pa

    arrays: dict[str, Any] = {}
    values: Any
    for name, values in zip(vocab.results, result):
        if isinstance(result, TierResult) and name in ("tier", "action"):
            names = TIERS if name == "tier" else ACTIONS
            # The codes come from the engine and always index the names, so
            # Arrow need not check them (a serial pass over every row).
            arrays[vocab.column(name)] = pa.DictionaryArray.from_arrays(
                values.view("int8"), pa.array(names, pa.string()), safe=False
            )
        else:
            arrays[vocab.column(name)] = pa.array(values)
    return arrays


def apply(data: Any, vocab: Vocabulary) -> Any:
    import pyarrow as pa

    result = compute(vocab, data.schema.names, data.column)
    # Columns of the result's names are replaced in place (a table tiered
    # before is tiered again); the others are appended; the rest pass
    # through untouched.
    fields = list(data.schema)
    arrays = [data.column(i) for i in range(data.num_columns)]
    for name, array in result_arrays(result, vocab).items():
        field = pa.field(name, array.type)
        index = data.schema.get_field_index(name)
        if index >= 0:
            fields[index], arrays[index] = field, array
        else:
            fields.append(field)
            arrays.append(array)
    schema = pa.schema(fields, metadata=data.schema.metadata)
    if isinstance(data, pa.RecordBatch):
        return pa.RecordBatch.from_arrays(arrays, schema=schema)
    return pa.Table.from_arrays(arrays, schema=schema)
