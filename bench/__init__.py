"""zelk's benchmark harness: speed, ratio, per-call cost and memory beside
Python's zlib, bz2 and lzma and the zstandard and brotli packages.

Run it with scripts/bench.sh, or `python -m bench --help` in an environment
that already has the module and the peer packages.
"""

import os as _os

# Every codec is timed on one thread: numpy's BLAS must not keep threads
# of its own spinning on the other cores meanwhile.
for _name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    _os.environ.setdefault(_name, "1")
