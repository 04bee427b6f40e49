"""Polars DataFrames and LazyFrames in, the same out: retention (Float64),
tier and action as ``pl.Enum`` over all of TIERS and ACTIONS, or stability and
boost for scoring.

A DataFrame's columns reach the kernels through Arrow without a copy. A
LazyFrame stays lazy: the rows are tiered batch by batch when it is
collected (``LazyFrame.map_batches`` with the output schema declared), and a
bad row fails the collect with the same error (its row counted within the
batch Polars hands over); the columns the vocabulary needs are checked
against the schema at once. ``now`` is fixed when the call is made, not when
the frame is collected.
"""

from __future__ import annotations

from typing import Any

from ..fields import ACTIONS, TIERS
from .inputs import compute, present_column
from .kernels import TierResult
from .vocabulary import Vocabulary, missing_column

__all__ = ["apply", "apply_lazy", "is_frame", "is_lazy"]


def is_frame(data: Any) -> bool:
    import polars as pl

    return isinstance(data, pl.DataFrame)


def is_lazy(data: Any) -> bool:
    import polars as pl

    return isinstance(data, pl.LazyFrame)


def apply(data: Any, vocab: Vocabulary) -> Any:
    import polars as pl

    result = compute(vocab, data.columns, data.get_column)
    added = []
    values: Any
    for name, values in zip(vocab.results, result):
        column = vocab.column(name)
        if isinstance(result, TierResult) and name in ("tier", "action"):
            names = TIERS if name == "tier" else ACTIONS
            enum = pl.Series(column, names, dtype=pl.Enum(names))
            added.append(enum.gather(pl.Series(values, dtype=pl.UInt8)).alias(column))
        else:
            added.append(pl.Series(column, values))
    return data.with_columns(added)


def _output_schema(schema: Any, vocab: Vocabulary) -> dict[str, Any]:
    import polars as pl

    out = dict(schema)
    for name in vocab.results:
        if name == "tier":
            out[vocab.column(name)] = pl.Enum(TIERS)
        elif name == "action":
            out[vocab.column(name)] = pl.Enum(ACTIONS)
        else:
            out[vocab.column(name)] = pl.Float64
    return out


def apply_lazy(data: Any, vocab: Vocabulary) -> Any:
    schema = data.collect_schema()
    names = schema.names()
    if vocab.recalled_at is not None and not present_column(names, vocab.recalled_at):
        raise missing_column("recalled_at", vocab.recalled_at)
    for name in vocab.input_fields():
        column = vocab.column(name)
        if vocab.required(name) and not present_column(names, column):
            raise missing_column(name, column)
    return data.map_batches(lambda batch: apply(batch, vocab), schema=_output_schema(schema, vocab))
