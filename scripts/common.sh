# Shared by the set-up, demo and test scripts: finds CPython 3.12, installs
# the Debian packages that are missing, configures and builds.
set -euo pipefail

TAVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
TAVO_BUILD="${TAVO_BUILD:-$TAVO_ROOT/build}"

tavo_find_python() {
  local candidates=()
  [ -n "${TAVO_PYTHON:-}" ] && candidates+=("$TAVO_PYTHON")
  if command -v pyenv >/dev/null 2>&1; then
    candidates+=("$(pyenv root)/versions/3.12.1/bin/python3.12")
    candidates+=($(ls -d "$(pyenv root)"/versions/3.12*/bin/python3.12 2>/dev/null || true))
  fi
  candidates+=("$HOME/.pyenv/versions/3.12.1/bin/python3.12" /usr/local/bin/python3.12 /usr/bin/python3.12)
  local py
  for py in "${candidates[@]}"; do
    if [ -x "$py" ] && "$py" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' 2>/dev/null; then
      TAVO_PYTHON="$py"
      return 0
    fi
  done
  echo "error: CPython 3.12 not found (looked in pyenv's versions and /usr). Install it, or set TAVO_PYTHON=/path/to/python3.12." >&2
  exit 1
}

tavo_install_packages() {
  local packages=(build-essential cmake pkg-config pybind11-dev libspdlog-dev libfmt-dev libboost-dev
                  libboost-filesystem-dev libreaderwriterqueue-dev googletest libgtest-dev libbenchmark-dev
                  clang libzmq3-dev cppzmq-dev)
  local missing=()
  local p
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
  fi
}

tavo_build() {
  cmake -S "$TAVO_ROOT" -B "$TAVO_BUILD" -DPython_EXECUTABLE="$TAVO_PYTHON" "$@"
  cmake --build "$TAVO_BUILD" -j "$(nproc)"
}
