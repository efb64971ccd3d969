"""Lets the examples use the drawing helper of the command line from a source checkout too."""
import pathlib
import sys

try:
    from trevalin_cli.drawing import overlay  # installed with the package
except ImportError:
    sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "python"))
    from trevalin_cli.drawing import overlay  # noqa: F401
