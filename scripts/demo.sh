#!/usr/bin/env bash
# Builds the module and runs the demo: two processes sharing a view and a ring.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages "${BUILD_PACKAGES[@]}"
build
PYTHONPATH="$BUILD_DIR" "$PYTHON" "$ROOT/examples/demo.py" "$@"
