#!/usr/bin/env bash
# Benchmarks zelk beside its peers on real data from Debian packages and on
# generated signals, writing into bench/results/ (bench/README.md):
#   scripts/bench.sh [--quick] [--only zelk,zlib] [--out DIR]   zelk_native beside zlib, bz2, lzma, zstandard, brotli
#   scripts/bench.sh frames [--quick]      the zelk command beside zstd, gzip and xz
#   scripts/bench.sh package [--quick]     the zelk package beside zlib, bz2, lzma and zstandard
#   scripts/bench.sh matrices              zelk.matrix beside zfp, SZ3, a Haar wavelet with zstd, numcodecs
#   scripts/bench.sh zarr_dask             zelk's zarr codecs beside zstd and Blosc, read by dask
#   scripts/bench.sh typed                 zelk on audio and numeric arrays beside FLAC, WavPack, pcodec,
#                                          OpenZL, Blosc2, xz, bzip2, zstd and zlib
#   scripts/bench.sh raster                zelk on images, grids and volumes beside JPEG-LS, PNG, JPEG XL,
#                                          JPEG 2000, pcodec, xz, bzip2, zstd and zlib
#   scripts/bench.sh big_files             the command's thread scaling and --long beside zstd and xz
source "$(dirname "$0")/env.sh"

# The inputs: fortunes (English text), alsa-utils (speech), libjxl-testdata
# (photographs), python-matplotlib-data (an elevation model), and the rest
# of bench/corpus.py's sources.
ensure_debian_packages g++ libzstd-dev zlib1g-dev python3-dev python3-venv \
  fortunes fortune-mod alsa-utils libjxl-testdata wamerican-huge unicode-data espeak-ng zstd xz-utils \
  python-matplotlib-data
# zfpy 1.0.1 exactly: numcodecs 0.16 cannot parse the version of 1.0.1.post0.
ensure_venv zstandard brotli matplotlib "zfpy==1.0.1" PyWavelets pysz
install_module
if [ "${1:-}" = typed ]; then
  # The typed corpus: sound prompts and themes, scipy's ECG, matplotlib's sample arrays.
  ensure_debian_packages flac wavpack asterisk-core-sounds-en-wav deepin-sound-theme sound-theme-freedesktop \
    sox libsox-fmt-all bzip2
  ensure_venv pcodec openzl blosc2
  [ -f bench/data/typed/manifest.json ] || "$PY" -m bench.typed_corpus
fi
if [ "${1:-}" = raster ] || [ "${1:-}" = matrices ]; then
  # The raster corpus: the images, grids and MRI volumes bundled in scikit-image, matplotlib and nibabel
  # (the matrices take fields from it, and SZ3 and SPERR from imagecodecs).
  ensure_venv imagecodecs scikit-image nibabel pcodec
  [ -f bench/data/raster/manifest.json ] || "$PY" -m bench.raster_corpus
fi
case "${1:-}" in
  frames | package | matrices | zarr_dask | typed | raster | big_files) module="bench.$1"; shift ;;
  *) module=bench ;;
esac
exec "$PY" -m "$module" "$@"
