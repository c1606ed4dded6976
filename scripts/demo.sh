#!/usr/bin/env bash
# Installs what is missing, builds the package and runs the demo.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/setup.sh"
cd "$RUVO_ROOT"
ruvo_install_package
"$RUVO_PY" examples/demo.py "$@"
