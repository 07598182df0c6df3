"""zelk's benchmark harness: speed, ratio, per-call cost and memory beside
Python's zlib, bz2 and lzma and the zstandard and brotli packages.

Run it with scripts/bench.sh, or `python -m bench --help` in an environment
that already has the module and the peer packages.
"""
