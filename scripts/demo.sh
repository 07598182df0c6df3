#!/usr/bin/env bash
# The main job: compresses and restores real files found on this machine with
# zelk, checks every round trip, and sets sizes and speeds beside zlib's.
source "$(dirname "$0")/env.sh"

ensure_debian_packages g++ cmake ninja-build python3-venv alsa-utils
ensure_venv
install_module
exec "$PY" scripts/demo.py "$@"
