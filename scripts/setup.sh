#!/usr/bin/env bash
# Installs what the build needs and is missing: Debian packages and a
# Python virtual environment (.venv) with the build and test tools.
# Safe to run any number of times. Sourced by demo.sh and test.sh.
set -euo pipefail

RUVO_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export RUVO_ROOT

ruvo_find_python() {
  local root
  root="$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")"
  local p
  for p in "$root"/versions/3.13.*/bin/python3; do
    if [ -x "$p" ]; then echo "$p"; return 0; fi
  done
  command -v python3.13 || command -v python3
}

ruvo_apt_install() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
}

RUVO_PYTHON_BASE="$(ruvo_find_python)"
debs=(g++ cmake ninja-build pkg-config librocksdb-dev libgtest-dev)
case "$RUVO_PYTHON_BASE" in
  /usr/bin/*) debs+=(python3-dev python3-venv) ;;
esac
ruvo_apt_install "${debs[@]}"

RUVO_VENV="$RUVO_ROOT/.venv"
if [ ! -x "$RUVO_VENV/bin/python" ] || ! "$RUVO_VENV/bin/python" -c 'import sys' >/dev/null 2>&1; then
  rm -rf "$RUVO_VENV"
  "$RUVO_PYTHON_BASE" -m venv "$RUVO_VENV"
fi
RUVO_PY="$RUVO_VENV/bin/python"
if ! "$RUVO_PY" -c 'import scikit_build_core, pytest' >/dev/null 2>&1; then
  "$RUVO_PY" -m pip install -q --upgrade pip
  "$RUVO_PY" -m pip install -q "scikit-build-core>=0.9" pytest
fi
export RUVO_PY RUVO_VENV

# Builds the extension module and installs the package into the venv
# (incremental: the build tree is kept under build/).
ruvo_install_package() {
  "$RUVO_PY" -m pip install -q --no-build-isolation "$RUVO_ROOT"
}
