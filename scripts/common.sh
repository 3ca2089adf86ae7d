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
TEST_PACKAGES=(libgtest-dev python3-pytest python3-hypothesis python3-mypy python3-numpy python3-venv python3-pip
               locales libc-l10n)

# build [meson options...]: configures (once) and compiles the extension and the C++ tests.
build() {
    if [ ! -f "$BUILD_DIR/build.ninja" ]; then
        meson setup "$BUILD_DIR" "$ROOT" -Dtests=true "$@" >/dev/null
    fi
    meson compile -C "$BUILD_DIR" >/dev/null
}
