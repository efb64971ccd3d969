"""Command-line tools for trevalin (installed as ``trevalin-detect``)."""
