"""pandas DataFrames in, the same out: retention (float64), tier and action
categoricals over all of TIERS and ACTIONS, or stability and boost for
scoring. The index and every other column pass through."""

from __future__ import annotations

from typing import Any

from ..fields import ACTIONS, TIERS
from .inputs import compute
from .kernels import TierResult
from .vocabulary import Vocabulary

__all__ = ["apply", "is_frame"]


def is_frame(data: Any) -> bool:
    import pandas as pd  # type: ignore[import-untyped, unused-ignore]

    return isinstance(data, pd.DataFrame)


def apply(data: Any, vocab: Vocabulary) -> Any:
    import pandas as pd

    result = compute(vocab, list(data.columns), data.__getitem__)
    # The arrays become the new columns as they are: a Series made without a
    # copy, and categoricals over the codes viewed as int8 (pandas' own code
    # type), so the call's memory stays the size of its outputs.
    added: dict[str, Any] = {}
    values: Any
    for name, values in zip(vocab.results, result):
        if isinstance(result, TierResult) and name in ("tier", "action"):
            names = TIERS if name == "tier" else ACTIONS
            added[vocab.column(name)] = pd.Categorical.from_codes(
                values.view("int8"), dtype=pd.CategoricalDtype(names)
            )
        else:
            added[vocab.column(name)] = pd.Series(values, index=data.index, copy=False)
    return data.assign(**added)
