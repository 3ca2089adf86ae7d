#!/usr/bin/env bash
# Builds the module and runs every test: the C++ core tests, the documentation (the site
# built with warnings as errors, and its examples as doctests), then the Python suite.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" "${DOCS_PACKAGES[@]}"
build
echo "== C++ core tests"
meson test -C "$BUILD_DIR" --print-errorlogs
echo "== Documentation"
docs
echo "== Python tests"
cd "$ROOT"
PYTHONPATH="$BUILD_DIR" "$PYTHON" -m pytest tests "$@"
