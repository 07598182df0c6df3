# Shared set-up for the project's scripts: Debian packages, a virtual
# environment in .venv with the Python packages, and the installed module.
# Sourced, not run.
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
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}

ensure_venv() {
  if [ ! -x .venv/bin/python ]; then
    echo "== creating .venv"
    python3 -m venv .venv
  fi
  PY="$ZELK_ROOT/.venv/bin/python"
  "$PY" -m pip install -q --upgrade pip >/dev/null
  "$PY" -m pip install -q -r requirements-dev.txt "$@"
}

install_module() {
  echo "== pip install . (builds the extension)"
  "$PY" -m pip install -q --force-reinstall --no-deps .
}
