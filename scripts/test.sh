#!/usr/bin/env bash
# Builds everything and runs every test: the C++ suites (also under
# AddressSanitizer + UndefinedBehaviorSanitizer), then the Python suite
# against the installed package, with its type stubs checked against the
# built module. Installs what is missing first.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$RUVO_ROOT"

echo "== C++ build and tests"
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DRUVO_BUILD_PYTHON=ON -DPython3_EXECUTABLE="$RUVO_PY" >/dev/null
cmake --build build/release
ctest --test-dir build/release --output-on-failure -j "$(nproc)"

echo "== C++ tests under AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DRUVO_SANITIZE=ON \
  -DRUVO_BUILD_BENCH=OFF >/dev/null
cmake --build build/asan
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j "$(nproc)"

echo "== Python package and tests"
ruvo_install_package
# The shipped type stubs must match the built module, and type the demo.
"$RUVO_PY" -m mypy.stubtest --mypy-config-file pyproject.toml ruvo._native
"$RUVO_PY" -m mypy --strict examples/demo.py
RUVO_TEST_TOOL="$RUVO_ROOT/build/release/ruvo_py/ruvo_corrupt_tool" \
  "$RUVO_PY" -m pytest -q ruvo_py/tests
echo "All tests passed."
