"""One Parquet file tiered into another, a batch of rows at a time, and the
schema every output file shares."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from ..bad_rows import describe_failure
from ..errors import JobError
from ..frames import apply
from ..frames.vocabulary import Vocabulary, vocabulary

if TYPE_CHECKING:
    import pyarrow as pa


def names_type() -> pa.DataType:
    """The Arrow type of the tier and action columns in every output file:
    dictionary-encoded strings with 32-bit indices, as Parquet readers give them back."""
    import pyarrow as pa

    return pa.dictionary(pa.int32(), pa.string())


def output_schema(schema: pa.Schema, vocab: Vocabulary) -> pa.Schema:
    """The schema of what tier_table gives for an input schema: columns named
    like the results (retention, tier, action, or as the vocabulary maps
    them) replaced where they stand, the others added at the end, tier and
    action of names_type()."""
    import pyarrow as pa

    kinds = {"retention": pa.float64(), "tier": names_type(), "action": names_type()}
    added = {
        vocab.column(name): pa.field(vocab.column(name), kinds[name], nullable=False)
        for name in ("retention", "tier", "action")
    }
    fields = [added.pop(f.name) if f.name in added else f for f in schema]
    return pa.schema(fields + list(added.values()), metadata=schema.metadata)


def tier_batch(batch: Any, schema: pa.Schema, where: str, first_row: int, vocab: Vocabulary) -> Any:
    """tier_table on one Arrow record batch of file `where` whose first row
    has index first_row in the file, as a Table of the given output schema."""
    import pyarrow as pa

    def tier(data: Any) -> Any:
        return apply(data, vocab, "tier-parquet")

    try:
        tiered = tier(batch)
    except (ValueError, TypeError) as exc:
        raise JobError(describe_failure(exc, batch, lambda i: where, lambda i: first_row + i, tier)) from None
    return pa.Table.from_batches([tiered]).cast(schema)


def count_names(column: Any) -> dict[str, int]:
    """Rows per name in a dictionary-encoded string column."""
    import pyarrow.compute as pc

    counts = pc.value_counts(column)
    names = counts.field("values").cast("string").to_pylist()
    return dict(zip(names, counts.field("counts").to_pylist()))


@dataclass
class FileResult:
    """What one file gave: its rows, and rows per tier and per action."""

    rows: int
    tiers: dict[str, int]
    actions: dict[str, int]


class Stopped(Exception):
    """A file task gave up because the job failed elsewhere."""


def tier_file(
    in_fs: Any, source: str, out_fs: Any, target: str, batch_rows: int,
    on_batch: Callable[[int], None] | None = None,
    stop: Callable[[], bool] | None = None,
    vocab: Vocabulary | None = None,
) -> FileResult:
    """Tier one Parquet file into another, one batch at a time, rows in order.

    stop, if given, is asked before the file is opened and after each
    batch; when it answers true the task raises Stopped.
    """
    import pyarrow as pa

    try:
        return _tier_file(in_fs, source, out_fs, target, batch_rows, vocab or vocabulary(), on_batch, stop)
    except pa.ArrowException as exc:
        # A file that is not Parquet, a read or write error.
        raise JobError(f"{source}: {exc}") from None


def _tier_file(
    in_fs: Any, source: str, out_fs: Any, target: str, batch_rows: int, vocab: Vocabulary,
    on_batch: Callable[[int], None] | None,
    stop: Callable[[], bool] | None,
) -> FileResult:
    import pyarrow.parquet as pq

    tiers: dict[str, int] = {}
    actions: dict[str, int] = {}
    rows = 0
    if stop is not None and stop():
        raise Stopped(source)
    with in_fs.open_input_file(source) as raw:
        reader = pq.ParquetFile(raw)
        schema = output_schema(reader.schema_arrow, vocab)
        with out_fs.open_output_stream(target) as sink, pq.ParquetWriter(sink, schema) as writer:
            for batch in reader.iter_batches(batch_size=batch_rows):
                table = tier_batch(batch, schema, source, rows, vocab)
                writer.write_table(table, row_group_size=batch_rows)
                rows += table.num_rows
                for name, counts in (("tier", tiers), ("action", actions)):
                    for key, n in count_names(table.column(vocab.column(name))).items():
                        counts[key] = counts.get(key, 0) + n
                if on_batch is not None:
                    on_batch(table.num_rows)
                if stop is not None and stop():
                    raise Stopped(source)
    return FileResult(rows, tiers, actions)


def total_rows(job: Any) -> int:
    """The rows of every input file of the job, from the files' metadata."""
    import pyarrow.parquet as pq

    total = 0
    for source in job.sources:
        with job.in_fs.open_input_file(source.path) as raw:
            total += pq.ParquetFile(raw).metadata.num_rows
    return total
