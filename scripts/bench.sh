#!/usr/bin/env bash
# Builds the module and runs the benchmarks: kelparine beside the stdlib, a pure-Python ring
# and plain C++. Arguments go to bench/run.py: --quick (under a minute), --report (refresh
# bench/report/), --only SECTION...
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# libgtest-dev: the build directory is configured with the C++ tests, as scripts/test.sh does.
ensure_packages "${BUILD_PACKAGES[@]}" libgtest-dev libbenchmark-dev python3-matplotlib python3-numpy valgrind
build
cd "$ROOT"
PYTHONPATH="$BUILD_DIR" "$PYTHON" "$ROOT/bench/run.py" "$@"
