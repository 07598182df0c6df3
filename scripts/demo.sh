#!/usr/bin/env bash
# The main job: compresses and restores real files found on this machine with
# the zelk command, checks every round trip, and sets sizes, speeds and the
# kinds of blocks zelk chose beside gzip, zstd and xz.
# The module is built only if it is not installed from the current sources.
source "$(dirname "$0")/env.sh"

ensure_debian_packages g++ libzstd-dev python3-venv alsa-utils gzip zstd xz-utils libjxl-testdata
ensure_venv
install_module
exec "$PY" scripts/demo.py "$@"
