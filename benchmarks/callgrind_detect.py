"""Two detections of the 1920x1080 photo mosaic at scale 0.8, for counting instructions per stage.

    RAYON_NUM_THREADS=1 valgrind --tool=callgrind --branch-sim=yes --callgrind-out-file=detect.cg \
        python benchmarks/callgrind_detect.py [MODULE_DIR]
    callgrind_annotate --inclusive=yes --show=Ir,Bcm detect.cg | grep trevalin::

Instruction and mispredicted-branch counts (callgrind's model of a predictor) do not move with the machine's load,
so they compare two builds where timings cannot; the table in docs/performance.md comes from this. MODULE_DIR
(optional) is a build directory to import trevalin from. For counts per source line, build that directory with
debug information (-DCMAKE_BUILD_TYPE=RelWithDebInfo) and use callgrind_annotate --auto=yes.
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
