#!/usr/bin/env bash
# Installs what is missing, builds the package and runs the demo. Pass a
# directory to keep the demo's store there; by default it is removed.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$RUVO_ROOT"
echo "== Building and installing the package (the first build takes a while)"
ruvo_install_package
echo "== Running the demo"
"$RUVO_PY" examples/demo.py "$@"
