"""The package's version, the one place it is written (pyproject.toml reads it)."""

__version__ = "0.1.0"
