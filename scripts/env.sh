# Shared set-up for the project's scripts: Debian packages, a virtual
# environment in .venv with the Python packages and the build's tools
# (CMake and Ninja come from the Python package index, since Debian 12's
# CMake is too old), and the installed module. Sourced, not run.
set -euo pipefail
ZELK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ZELK_ROOT"

ensure_debian_packages() {
  local missing=()
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo=sudo
    echo "== installing Debian packages: ${missing[*]}"
    # Waits (up to 10 minutes) while another process holds the package
    # manager's lock, rather than failing at once.
    local wait=(-o DPkg::Lock::Timeout=600)
    $sudo apt-get "${wait[@]}" update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get "${wait[@]}" install -y -qq "${missing[@]}" >/dev/null
  fi
}

# Creates .venv if needed, installs requirements-dev.txt and any packages
# named, and puts .venv/bin first on PATH (its cmake, ninja and pytest).
# Compilers run through ccache where it is installed: the module's release
# build and the unit tests' build share their objects, and a second run of
# the test command recompiles only what changed.
ensure_venv() {
  ensure_bare_venv
  "$PY" -m pip install -q --upgrade pip >/dev/null
  "$PY" -m pip install -q -r requirements-dev.txt "$@"
}

# .venv with nothing but what `pip install .` brings: for running zelk, not
# for developing it.
ensure_bare_venv() {
  if command -v ccache >/dev/null; then export CMAKE_CXX_COMPILER_LAUNCHER=ccache; fi
  if [ ! -x .venv/bin/python ]; then
    echo "== creating .venv"
    python3 -m venv .venv
  fi
  export PY="$ZELK_ROOT/.venv/bin/python"
  export PATH="$ZELK_ROOT/.venv/bin:$PATH"
}

# A digest of everything `pip install .` builds from.
module_sources_digest() {
  find core python cli cmake CMakeLists.txt pyproject.toml -type f -print0 | sort -z |
    xargs -0 sha256sum | sha256sum | cut -d' ' -f1
}

# Builds and installs the module and the command, unless the installed ones
# were built from the sources as they are now.
install_module() {
  local stamp=.venv/zelk-sources.sha256 digest
  digest=$(module_sources_digest)
  if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$digest" ] && "$PY" -c 'import zelk_native' 2>/dev/null; then
    echo "== zelk_native is installed and current"
    return
  fi
  echo "== pip install . (builds the extension)"
  "$PY" -m pip install -q --force-reinstall --no-deps .
  echo "$digest" > "$stamp"
}

# Configures, builds and runs the CTest suite of one preset of
# CMakePresets.json in build/PRESET.
ctest_preset() {
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1"
  ctest --preset "$1"
}

# Runs a named step of a script and keeps its wall time for timing_summary.
STEP_TIMES=()
step() {
  local name=$1 start=$SECONDS
  shift
  echo "== $name"
  "$@"
  STEP_TIMES+=("$(printf '%5ds  %s' $((SECONDS - start)) "$name")")
}

timing_summary() {
  echo "== wall time of each step"
  printf '%s\n' "${STEP_TIMES[@]}"
}
