#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan + UBSan) into build-fuzz/ and runs each for a
# bounded time, starting from the committed seeds in fuzz/corpus/<target>/.
#   bash fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]
# A crash, sanitizer report or failed check stops with a non-zero exit and leaves the input
# in build-fuzz/artifacts/. Findings worth keeping go into fuzz/corpus/ by hand.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

SECONDS_PER_TARGET=${1:-10}
shift || true
TARGETS=("$@")
[ ${#TARGETS[@]} -eq 0 ] && TARGETS=(ring_pop codec names)

# clang 16 is the first Debian clang whose C++23 mode compiles std::expected, but it still
# reports concepts at the C++20 draft level, which hides <expected> in libstdc++ 12; it
# implements what that header needs, so the level is raised for these builds only.
CXX=clang++-16
ensure_packages clang-16 libclang-rt-16-dev python3-dev
CXXFLAGS=(-std=c++2b -Wno-macro-redefined -D__cpp_concepts=202002L -O1 -g -Wall -Wextra
          -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$ROOT/src")
PY_INCLUDE=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
PY_LIBDIR=$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_config_var("LIBDIR"))')
PY_LIB=$("$PYTHON" -c 'import sysconfig; print("python" + sysconfig.get_config_var("LDVERSION"))')

OUT="$ROOT/build-fuzz"
mkdir -p "$OUT/artifacts"

build_target() {
    local target=$1
    local sources=("$ROOT/fuzz/$target.cpp" "$ROOT/src/core/errno_table.cpp")
    local extra=()
    case $target in
        ring_pop) sources+=("$ROOT/src/core/spsc/ring.cpp") ;;
        # The platform handle waits for the sizing lock with the core back-off (sleep_for).
        names) sources+=("$ROOT/src/core/platform/unix/platform_handle.cpp" "$ROOT/src/core/wait/futex.cpp") ;;
        codec)
            sources+=("$ROOT/src/mixed/value_codec.cpp" "$ROOT/src/mixed/typed_list.cpp" "$ROOT/src/py/boundary.cpp"
                     "$ROOT/src/py/args.cpp")
            extra=(-I"$PY_INCLUDE" -L"$PY_LIBDIR" -l"$PY_LIB")
            ;;
        *) echo "unknown fuzz target: $target" >&2; return 2 ;;
    esac
    # Rebuild only when a source is newer than the binary.
    local binary="$OUT/$target" newer=0
    for source in "${sources[@]}" "$ROOT"/src/*.hpp "$ROOT"/src/*/*.hpp "$ROOT"/src/*/*/*.hpp \
        "$ROOT"/src/*/*/*/*.hpp; do
        [ "$source" -nt "$binary" ] && newer=1 && break
    done
    if [ ! -x "$binary" ] || [ $newer -eq 1 ]; then
        "$CXX" "${CXXFLAGS[@]}" "${sources[@]}" "${extra[@]}" -o "$binary"
    fi
}

status=0
printf '%-10s %12s %10s %6s %8s\n' target executions exec/s cov corpus
for target in "${TARGETS[@]}"; do
    build_target "$target"
    corpus="$OUT/corpus/$target"
    mkdir -p "$corpus"
    cp -n "$ROOT/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    log="$OUT/$target.log"
    # The interpreter keeps objects alive until exit: leaks are not findings for the codec.
    leaks=1
    [ "$target" = codec ] && leaks=0
    if ASAN_OPTIONS="detect_leaks=$leaks" UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1" \
        "$OUT/$target" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$OUT/artifacts/$target-" "$corpus" >"$log" 2>&1; then
        result=ok
    else
        result=FAILED
        status=1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    files=$(find "$corpus" -type f | wc -l)
    printf '%-10s %12s %10s %6s %8s %s\n' "$target" "${runs:-?}" "${rate:-?}" "${cov:-?}" "$files" "$result"
    if [ $result = FAILED ]; then
        grep -E 'ERROR|runtime error|SUMMARY|deadly|Test unit written' "$log" | head -20 >&2
    fi
done
exit $status
