#!/usr/bin/env bash
# Benchmarks zelk beside zlib, bz2, lzma, zstandard and brotli on real data
# from Debian packages and on generated signals; writes results.md,
# results.json and chart.png into bench/results/ and prints a summary.
# Usage: scripts/bench.sh [--quick] [--only zelk,zlib] [--out DIR]
source "$(dirname "$0")/env.sh"

# The inputs: fortunes (English text), alsa-utils (speech), libjxl-testdata (a grayscale photograph).
ensure_debian_packages g++ libzstd-dev python3-dev python3-venv \
  fortunes fortune-mod alsa-utils libjxl-testdata wamerican-huge unicode-data espeak-ng zstd xz-utils
ensure_venv zstandard brotli matplotlib
install_module
exec "$PY" -m bench "$@"
