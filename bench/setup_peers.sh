#!/usr/bin/env bash
# Creates bench/.venv for bench/peers.py: the peer engines (clingo, DuckDB;
# SQLite comes with Python) plus ruvo built from this checkout. The peers live
# here only; they are no dependency of the package or its tests. Run again
# after changing ruvo to reinstall it.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/setup.sh"
BENCH_VENV="$RUVO_ROOT/bench/.venv"
if [ ! -x "$BENCH_VENV/bin/python" ]; then
  "$RUVO_PYTHON_BASE" -m venv "$BENCH_VENV"
fi
BPY="$BENCH_VENV/bin/python"
if ! "$BPY" -c 'import clingo, duckdb, scikit_build_core' >/dev/null 2>&1; then
  "$BPY" -m pip install -q --upgrade pip
  "$BPY" -m pip install -q clingo duckdb "scikit-build-core>=0.9"
fi
"$BPY" -m pip install -q --no-build-isolation "$RUVO_ROOT"
"$BPY" -c 'import clingo, duckdb, ruvo; print("bench venv ready: clingo", clingo.__version__, "duckdb", duckdb.__version__)'
