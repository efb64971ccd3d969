"""Two detections of the 1920x1080 photo mosaic at scale 0.8, for counting instructions per stage.

    RAYON_NUM_THREADS=1 valgrind --tool=callgrind --callgrind-out-file=detect.cg python benchmarks/callgrind_detect.py
    callgrind_annotate --inclusive=yes detect.cg | grep trevalin::

Instruction counts do not move with the machine's load, so they compare two builds where timings cannot; the
table in docs/performance.md comes from this. MODULE_DIR (optional) is a build directory to import trevalin from.
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
if len(sys.argv) > 1:
    sys.path.insert(0, sys.argv[1])

import trevalin  # noqa: E402
from common import mosaic  # noqa: E402

img = mosaic(1920, 1080)
for _ in range(2):
    trevalin.detect(img, 0.8)
