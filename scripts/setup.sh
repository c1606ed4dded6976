#!/usr/bin/env bash
# Installs what the build needs and is missing: Debian packages and a
# Python virtual environment (.venv) on CPython 3.13 with the build and test
# tools. Safe to run any number of times. Sourced by demo.sh and test.sh.
set -euo pipefail

RUVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export RUVO_ROOT

# The extension module is built for exactly this Python version.
RUVO_PY_VERSION="3.13"

# True when the interpreter $1 runs and is CPython $RUVO_PY_VERSION.
ruvo_is_wanted_python() {
  "$1" -c "import platform, sys; sys.exit(not (platform.python_implementation() == 'CPython'
and '%d.%d' % sys.version_info[:2] == '$RUVO_PY_VERSION'))" >/dev/null 2>&1
}

# Prints the path of a CPython 3.13 interpreter: a pyenv-installed one
# first, then python3.13 on PATH. Fails when there is none.
ruvo_find_python() {
  local root p
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  for p in "$root"/versions/"$RUVO_PY_VERSION".*/bin/python3; do
    if [ -x "$p" ] && ruvo_is_wanted_python "$p"; then echo "$p"; return 0; fi
  done
  p="$(command -v "python$RUVO_PY_VERSION" || true)"
  if [ -n "$p" ] && ruvo_is_wanted_python "$p"; then
    # Resolve a pyenv shim to the interpreter behind it.
    "$p" -c 'import sys; print(sys.executable)'
    return 0
  fi
  return 1
}

ruvo_apt_install() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== Installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

if ! RUVO_PYTHON_BASE="$(ruvo_find_python)"; then
  cat >&2 <<MSG
ruvo needs CPython $RUVO_PY_VERSION (with its C headers) and found none:
no $(pyenv root 2>/dev/null || echo "$HOME/.pyenv")/versions/$RUVO_PY_VERSION.* and no working python$RUVO_PY_VERSION on PATH.
Install it, for example with 'pyenv install $RUVO_PY_VERSION' or your system's
python$RUVO_PY_VERSION, python$RUVO_PY_VERSION-dev and python$RUVO_PY_VERSION-venv packages, then run this command again.
MSG
  exit 1
fi
debs=(g++ cmake ninja-build pkg-config librocksdb-dev libgtest-dev)
case "$RUVO_PYTHON_BASE" in
  /usr/bin/*) debs+=("python$RUVO_PY_VERSION-dev" "python$RUVO_PY_VERSION-venv") ;;
esac
ruvo_apt_install "${debs[@]}"

# A .venv that does not run, or runs another Python version (left by an
# earlier set-up with another interpreter), is built anew.
RUVO_VENV="$RUVO_ROOT/.venv"
if [ ! -x "$RUVO_VENV/bin/python" ] || ! ruvo_is_wanted_python "$RUVO_VENV/bin/python"; then
  echo "== Creating the Python environment .venv on $RUVO_PYTHON_BASE"
  rm -rf "$RUVO_VENV"
  "$RUVO_PYTHON_BASE" -m venv "$RUVO_VENV"
fi
RUVO_PY="$RUVO_VENV/bin/python"
if ! "$RUVO_PY" -c 'import scikit_build_core, pytest, mypy.stubtest' >/dev/null 2>&1; then
  echo "== Installing the build and test tools into .venv"
  "$RUVO_PY" -m pip install -q --upgrade pip
  "$RUVO_PY" -m pip install -q "scikit-build-core>=0.9" pytest "mypy==2.4.1"
fi
export RUVO_PY RUVO_VENV

# Builds the extension module and installs the package into the venv
# (incremental: the build tree is kept under build/).
ruvo_install_package() {
  "$RUVO_PY" -m pip install -q --no-build-isolation "$RUVO_ROOT"
}
