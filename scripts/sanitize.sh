#!/usr/bin/env bash
# Runs the code under the sanitizers and Valgrind; any report fails the run.
#   1. build-asan/: AddressSanitizer + UndefinedBehaviorSanitizer (meson's b_sanitize), then the
#      C++ core tests, the threaded core stress and the pytest suite (less the tests that run
#      the benchmark suites and examples as scripts) against that build.
#   2. build-tsan/: ThreadSanitizer build of the C++ core tests and the threaded core stress.
#   3. Valgrind memcheck over stress/valgrind_tour.py (every member of the three classes)
#      against the ordinary build in build/.
# Extra arguments go to pytest in step 1, e.g. `bash scripts/sanitize.sh -k ring`.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" libasan8 libubsan1 libtsan2 valgrind

failed=()
started=$SECONDS
section() { echo "== $1 ($((SECONDS - started)) s)"; }

# Configures a sanitized build directory once. b_lundef=false: a sanitized extension module
# leaves the runtime's symbols to the preloaded library.
configure() {
    local dir=$1
    shift
    if [ ! -f "$dir/build.ninja" ]; then
        meson setup "$dir" "$ROOT" -Dtests=true -Dstress=true -Dbuildtype=debugoptimized -Db_lundef=false \
            "$@" >/dev/null
    fi
}

# Reports go to files, one per process, so those of child processes are not lost.
REPORTS="$ROOT/build-asan/reports"

section "ASan + UBSan build (build-asan/)"
configure "$ROOT/build-asan" -Db_sanitize=address,undefined \
    -Dcpp_args="-fno-omit-frame-pointer -fno-sanitize-recover=all"
meson compile -C "$ROOT/build-asan" >/dev/null
rm -rf "$REPORTS"
mkdir -p "$REPORTS"
# allocator_may_return_null: the module turns a failed allocation into MemoryError, and the
# tests check that it does; ASan would otherwise treat the failure itself as a finding.
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$REPORTS/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$REPORTS/ubsan"

section "ASan + UBSan: C++ core tests and threaded core stress"
meson test -C "$ROOT/build-asan" --print-errorlogs >/dev/null || failed+=("asan core tests")
"$ROOT/build-asan/stress/core_stress" 2 3 2 || failed+=("asan core stress")

section "ASan + UBSan: pytest suite"
# CPython is not built with ASan: the runtime is preloaded into it, and PYTHONMALLOC=malloc
# sends every object through the checked allocator. Leaks are off: the interpreter keeps
# objects alive until exit by design.
LIBASAN=$(gcc -print-file-name=libasan.so)
# The tests that run the benchmark suites and the examples as scripts are left to the plain
# runs: under ASan they take minutes and reach no native code the other tests do not.
SCRIPT_TESTS=(--ignore=tests/test_stress_and_bench_tools.py --ignore=tests/test_examples.py)
(
    cd "$ROOT"
    LD_PRELOAD="$LIBASAN" PYTHONMALLOC=malloc PYTHONPATH="$ROOT/build-asan" \
        "$PYTHON" -m pytest tests -q -p no:cacheprovider "${SCRIPT_TESTS[@]}" "$@"
) || failed+=("asan pytest")
unset ASAN_OPTIONS UBSAN_OPTIONS
if compgen -G "$REPORTS/*" >/dev/null; then
    echo "sanitizer reports:"
    head -n 40 "$REPORTS"/*
    failed+=("asan/ubsan reports")
else
    echo "ASan + UBSan: no reports"
fi

section "ThreadSanitizer build (build-tsan/): C++ core tests and threaded core stress"
configure "$ROOT/build-tsan" -Db_sanitize=thread
meson compile -C "$ROOT/build-tsan" core_tests core_stress >/dev/null
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
"$ROOT/build-tsan/tests/cpp/core_tests" --gtest_brief=1 || failed+=("tsan core tests")
"$ROOT/build-tsan/stress/core_stress" 3 4 2 || failed+=("tsan core stress")
unset TSAN_OPTIONS

section "Valgrind memcheck (build/)"
build
if PYTHONPATH="$BUILD_DIR" PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=99 --leak-check=no \
    --suppressions="$ROOT/stress/valgrind.supp" "$PYTHON" "$ROOT/stress/valgrind_tour.py"; then
    echo "Valgrind: no errors"
else
    failed+=("valgrind")
fi

if [ ${#failed[@]} -ne 0 ]; then
    echo "sanitize: FAILED: ${failed[*]}"
    exit 1
fi
echo "sanitize: no reports from ASan, UBSan, TSan or Valgrind ($((SECONDS - started)) s)"
