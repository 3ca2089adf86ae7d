#!/usr/bin/env bash
# Builds the module for every CPython 3.10-3.13 that pyenv holds on this machine and runs the
# Python test suite with each.
#
#   bash scripts/matrix.sh [pytest args...]       e.g. bash scripts/matrix.sh -q -x
#   PYTHONS="/path/to/python3.12 ..." bash scripts/matrix.sh   other interpreters
#
# Each interpreter gets its own build directory (build-py<version>/, configured with
# -Dpython=<interpreter> so that its headers and extension suffix are used). The pyenv
# interpreters have no pytest, so the runner is given Debian's pure-Python test packages
# through a directory of symlinks on PYTHONPATH (build-matrix-deps/); compiled packages such as
# NumPy are built for Debian's 3.11 only, and the tests that need them skip elsewhere.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# exceptiongroup and tomli: what pytest needs on 3.10 beyond what it needs on 3.11;
# setuptools: its copy of distutils, for meson on 3.12 and later (see below).
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" python3-exceptiongroup python3-tomli python3-setuptools

DIST=/usr/lib/python3/dist-packages
DEPS="$ROOT/build-matrix-deps"
rm -rf "$DEPS"
mkdir -p "$DEPS"
for entry in pytest _pytest py.py pluggy iniconfig packaging exceptiongroup tomli \
             hypothesis _hypothesis_pytestplugin.py _hypothesis_ftz_detector.py sortedcontainers \
             attr attrs typing_extensions.py; do
    [ -e "$DIST/$entry" ] && ln -s "$DIST/$entry" "$DEPS/$entry"
done
# Their metadata too: pytest finds plugins (hypothesis's) and versions through it.
for meta in "$DIST"/{pytest,pluggy,iniconfig,packaging,exceptiongroup,tomli,hypothesis,sortedcontainers,attrs,typing_extensions}-*.{dist,egg}-info; do
    [ -e "$meta" ] && ln -s "$meta" "$DEPS/$(basename "$meta")"
done

# Meson 1.0 (Debian 12) asks the target interpreter for distutils, which Python 3.12 removed.
# setuptools' own copy of distutils answers for it: it goes on PYTHONPATH while meson
# configures (and reconfigures, during compile), only for interpreters that lack distutils.
SHIM="$DEPS/meson-shim"
mkdir -p "$SHIM"
ln -s "$DIST/setuptools/_distutils" "$SHIM/distutils"

if [ -z "${PYTHONS:-}" ]; then
    PYENV_ROOT=${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}
    PYTHONS=""
    for dir in "$PYENV_ROOT"/versions/3.1[0-3].*; do
        [ -x "$dir/bin/python3" ] && PYTHONS="$PYTHONS $dir/bin/python3"
    done
fi
[ -n "$PYTHONS" ] || { echo "no CPython 3.10-3.13 found (set PYTHONS)"; exit 1; }

declare -A results
failed=0
for python in $PYTHONS; do
    version=$("$python" -c 'import sys; print("%d.%d.%d" % sys.version_info[:3])')
    build_dir="$ROOT/build-py$version"
    echo "== CPython $version ($python)"
    meson_path=""
    "$python" -c 'import distutils' 2>/dev/null || meson_path="$SHIM"
    mkdir -p "$build_dir"
    log="$build_dir/matrix-build.log"
    if ! { { [ -f "$build_dir/build.ninja" ] ||
             PYTHONPATH="$meson_path" meson setup "$build_dir" "$ROOT" -Dpython="$python" -Dtests=false; } &&
           PYTHONPATH="$meson_path" meson compile -C "$build_dir"; } >"$log" 2>&1; then
        tail -n 30 "$log"
        results[$version]="build failed (log: $log)"
        failed=1
        continue
    fi
    # -p no:cacheprovider: one cache directory shared by several interpreters helps nobody.
    # pytest 7.2 (Debian 12) builds its assertion rewrites with ast nodes that 3.12 deprecates.
    if (cd "$ROOT" && PYTHONPATH="$DEPS:$build_dir" "$python" -m pytest tests -p no:cacheprovider \
            -W "ignore::DeprecationWarning:_pytest.assertion.rewrite" "$@"); then
        results[$version]="passed"
    else
        results[$version]="FAILED"
        failed=1
    fi
done

echo "== summary"
for version in $(printf '%s\n' "${!results[@]}" | sort -V); do
    echo "CPython $version: ${results[$version]}"
done
exit $failed
