#!/usr/bin/env bash
# Builds the module, then the documentation site into docs/_build/html (warnings are errors),
# and runs the code examples of its pages as doctests.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${DOCS_PACKAGES[@]}"
build
docs
echo "site: $ROOT/docs/_build/html/index.html"
