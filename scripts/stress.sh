#!/usr/bin/env bash
# Stress, lifecycle churn and fuzzing, bounded in time; prints the figures of each part.
#   bash scripts/stress.sh           full form  (< 15 minutes)
#   bash scripts/stress.sh --short   short form (< 2 minutes; run by CI)
# Any lost, reordered, corrupted or torn datum, any growth of descriptors, mappings or memory,
# and any fuzzer finding ends the run with a non-zero exit.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

MODE=full
case "${1:-}" in
    --short) MODE=short ;;
    "") ;;
    *) echo "usage: bash scripts/stress.sh [--short]" >&2; exit 2 ;;
esac

if [ $MODE = short ]; then
    RING_MESSAGES=600000    # over three rings
    PARK_MESSAGES=300000    # put/get with random pauses, over three rings
    MIXED_MESSAGES=300000   # every producer and consumer call mixed, over three rings
    RUN_BOUND=180           # seconds a blocking run may take before it counts as a hang
    VIEW_SECONDS=5
    CORE_SECONDS=2
    CHURN_ROUNDS=20000
    FUZZ_SECONDS=10         # per target
else
    RING_MESSAGES=6000000
    PARK_MESSAGES=1500000
    MIXED_MESSAGES=1500000
    RUN_BOUND=900
    VIEW_SECONDS=30
    CORE_SECONDS=20
    CHURN_ROUNDS=100000
    FUZZ_SECONDS=120
fi

ensure_packages "${BUILD_PACKAGES[@]}" libgtest-dev
build
# The threaded C++ stress program is an option of the same build.
if ! meson configure "$BUILD_DIR" | grep -Eq '^ *stress +true'; then
    meson configure "$BUILD_DIR" -Dstress=true >/dev/null
    meson compile -C "$BUILD_DIR" >/dev/null
fi

export PYTHONPATH="$BUILD_DIR:$ROOT/stress"
started=$SECONDS
section() { echo "== $1 ($((SECONDS - started)) s)"; }

section "ring: producer and consumer processes"
"$PYTHON" "$ROOT/stress/ring_stress.py" --messages $RING_MESSAGES --capacities 64,4096,1048576
section "ring: put/get with random pauses, parked all the time"
"$PYTHON" "$ROOT/stress/blocking_stress.py" --mode park --messages $PARK_MESSAGES --bound $RUN_BOUND
section "ring: push/put/push_many/reserve against pop/pop_many/pop_into/borrow/get"
"$PYTHON" "$ROOT/stress/blocking_stress.py" --mode mixed --messages $MIXED_MESSAGES --bound $RUN_BOUND
section "view: two writer and two reader processes"
"$PYTHON" "$ROOT/stress/view_stress.py" --seconds $VIEW_SECONDS
section "core: lock word and ring between threads (C++)"
"$BUILD_DIR/stress/core_stress" $CORE_SECONDS 3 2
section "lifecycle churn"
"$PYTHON" "$ROOT/stress/churn.py" --rounds $CHURN_ROUNDS
section "fuzzing, $FUZZ_SECONDS s per target"
bash "$ROOT/fuzz/run.sh" $FUZZ_SECONDS
echo "stress ($MODE): all parts passed in $((SECONDS - started)) s"
