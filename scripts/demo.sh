#!/usr/bin/env bash
# The main job: compresses and restores real files found on this machine with
# the zelk command, checks every round trip, and sets sizes, speeds and the
# kinds of blocks zelk chose beside gzip, zstd and xz.
# Installs only what is missing and only what the demo runs: the package
# and its command (built only if not installed from the current sources),
# no test or development tools.
source "$(dirname "$0")/env.sh"

ensure_debian_packages g++ libzstd-dev zlib1g-dev python3-venv alsa-utils gzip zstd xz-utils libjxl-testdata
ensure_bare_venv
install_module
exec "$PY" scripts/demo.py "$@"
