# Shared by the scripts: Debian packages on demand, and the build.
# Debian's own interpreter sees Debian's Python packages (pytest, meson-python, ...).
PYTHON=${PYTHON:-/usr/bin/python3}
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD_DIR=${BUILD_DIR:-$ROOT/build}

# ensure_packages PKG...: installs the Debian packages that are missing.
ensure_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing Debian packages: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(g++ pkg-config meson ninja-build python3-dev python3-mesonpy)
TEST_PACKAGES=(libgtest-dev python3-pytest python3-hypothesis python3-mypy python3-numpy python3-venv python3-pip python3-zmq python3-uvloop python3-anyio
               locales libc-l10n)
DOCS_PACKAGES=(python3-sphinx furo python3-myst-parser python3-numpy)

# build [meson options...]: configures (once) and compiles the extension and the C++ tests.
build() {
    if [ ! -f "$BUILD_DIR/build.ninja" ]; then
        meson setup "$BUILD_DIR" "$ROOT" -Dtests=true "$@" >/dev/null
    fi
    meson compile -C "$BUILD_DIR" >/dev/null
}

# isolated_shm COMMAND...: runs COMMAND with a private, empty /dev/shm where the system allows
# it (root, or unprivileged user namespaces), so that examples with fixed segment names never
# meet another run's segments; elsewhere runs it as it is.
isolated_shm() {
    local mount='mount -t tmpfs -o size=256m,mode=1777 tmpfs /dev/shm 2>/dev/null; exec "$@"'
    if ! command -v unshare >/dev/null 2>&1; then
        "$@"
    elif [ "$(id -u)" -eq 0 ] && unshare --mount true 2>/dev/null; then
        unshare --mount -- sh -c "$mount" sh "$@"
    elif unshare --mount --map-root-user true 2>/dev/null; then
        unshare --mount --map-root-user -- sh -c "$mount" sh "$@"
    else
        "$@"
    fi
}

# docs: builds the site into docs/_build/html with warnings as errors (the reference is read
# from the module in $BUILD_DIR), then runs the pages' examples as doctests.
docs() {
    local out="$ROOT/docs/_build"
    export KELPARINE_BUILD_DIR="$BUILD_DIR"
    # -E: a fresh environment, so that every page gets the current navigation.
    "$PYTHON" -m sphinx -b html -E -W --keep-going -q -d "$out/doctrees" "$ROOT/docs" "$out/html"
    isolated_shm "$PYTHON" -m sphinx -b doctest -W --keep-going -q \
        -d "$out/doctrees" "$ROOT/docs" "$out/doctest"
    # With -q the doctest builder prints only failures: show its count.
    echo "docs: site built, doctests: $(grep -E '^ +[0-9]+ tests?$' "$out/doctest/output.txt" | tr -s ' ' | sed 's/^ //'), 0 failures"
}
