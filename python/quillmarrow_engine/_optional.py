"""Optional libraries, imported when a call needs them.

Every function that needs NumPy, pandas, pyarrow, psycopg, Dask or Spark asks
for it here, so a missing one is reported the same way everywhere:
``PURPOSE needs MODULE: pip install 'quillmarrow-engine[EXTRA]'``.
"""

from __future__ import annotations

import importlib
import importlib.util
from collections.abc import Sequence
from types import ModuleType

from .errors import MissingDependency


def require(module: str, extra: str, purpose: str) -> ModuleType:
    """The module, imported; MissingDependency when it is not installed."""
    try:
        return importlib.import_module(module)
    except ImportError:
        raise MissingDependency(needs_message(purpose, [module], extra)) from None


def missing(modules: Sequence[str]) -> list[str]:
    """Those of the modules that are not installed (none is imported)."""
    return [name for name in modules if importlib.util.find_spec(name) is None]


def needs_message(purpose: str, modules: Sequence[str], extra: str) -> str:
    return f"{purpose} needs {', '.join(modules)}: pip install 'quillmarrow-engine[{extra}]'"
