"""Any object that offers the Arrow PyCapsule stream interface
(``__arrow_c_stream__``), or a bare stream capsule: read whole into a pyarrow
Table and given back as one, since no other kind can be made of it."""

from __future__ import annotations

from typing import Any

from .arrow import apply as apply_arrow
from .vocabulary import Vocabulary

__all__ = ["apply", "is_stream"]


def is_capsule(data: Any) -> bool:
    return type(data).__name__ == "PyCapsule" and type(data).__module__ == "builtins"


def is_stream(data: Any) -> bool:
    return hasattr(type(data), "__arrow_c_stream__") or is_capsule(data)


class _Capsule:
    """A bare capsule dressed in the interface pyarrow reads."""

    def __init__(self, capsule: Any) -> None:
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema: Any = None) -> Any:
        return self.capsule


def apply(data: Any, vocab: Vocabulary) -> Any:
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    source = _Capsule(data) if is_capsule(data) else data
    return apply_arrow(pa.RecordBatchReader.from_stream(source).read_all(), vocab)
