"""Command-line tools and helpers around the quillmarrow_engine_native module."""
