"""The type stub kelparine.pyi must match the compiled module: same names, same parameter names
and kinds, static methods where the module has them. mypy's stubtest compares the two, so the
stub cannot drift from the text signatures; a second mypy run checks that the overloads give
the result types users rely on."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import kelparine

pytest.importorskip("mypy", reason="mypy (Debian: python3-mypy) checks the stub")

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCE_STUB = ROOT / "src" / "kelparine.pyi"


def installed_stub():
    """The stub beside the extension module that `import kelparine` found."""
    return pathlib.Path(kelparine.__file__).with_name("kelparine.pyi")


def run_mypy_tool(args, stub_dir, cwd, timeout=120):
    env = dict(os.environ)
    # The module under test must be the one this interpreter imports; the stub is read from a
    # private copy (mypy refuses site-packages directories in MYPYPATH).
    env["PYTHONPATH"] = os.pathsep.join(
        [str(pathlib.Path(kelparine.__file__).parent)] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    )
    env["MYPYPATH"] = str(stub_dir)
    return subprocess.run(
        [sys.executable, "-m", *args],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


@pytest.fixture(scope="module")
def stub_dir(tmp_path_factory):
    stub = installed_stub()
    assert stub.is_file(), f"no kelparine.pyi beside {kelparine.__file__}"
    directory = tmp_path_factory.mktemp("stub")
    shutil.copy(stub, directory / "kelparine.pyi")
    return directory


def test_installed_stub_is_the_source_stub():
    if not SOURCE_STUB.is_file():
        pytest.skip("not run from a source tree")
    assert installed_stub().read_text() == SOURCE_STUB.read_text()


def test_stubtest_finds_no_difference(stub_dir, tmp_path):
    # The package's Python parts (kelparine/*.py, found through the module's __path__) carry
    # their own annotations; the stub describes the compiled module.
    allowlist = tmp_path / "python-parts.txt"
    allowlist.write_text("kelparine.bridge\n")  # private parts (kelparine._*) are not checked
    result = run_mypy_tool(
        ["mypy.stubtest", "--concise", "--mypy-config-file", os.devnull, "--allowlist", str(allowlist),
         "kelparine"], stub_dir, tmp_path
    )
    assert result.returncode == 0, result.stdout + result.stderr


USAGE = """
import kelparine
from typing import Any

shm = kelparine.SharedMemory.create("/x", 4 + 64)
shm2 = kelparine.SharedMemory.open("/x", size=None)
view = shm.map()
ring = shm.spsc()
reveal_type(shm2)
reveal_type(view)
reveal_type(ring)
reveal_type(kelparine.SharedMemory.remove("/x"))
reveal_type(view.read("i64"))
reveal_type(view.read("f32"))
reveal_type(view.read("bool"))
reveal_type(view.read("str"))
tag: str = "u8"
reveal_type(view.read(tag))
reveal_type(view.read_range(0, 4))
reveal_type(view.read_mixed([("i64", 1), ("str", 2)], offset=8))
reveal_type(ring.pop())
reveal_type(ring.pop(tag="int"))
reveal_type(ring.pop("float"))
reveal_type(ring.pop(tag))
reveal_type(ring.pop_mixed([("u32", 3)]))
reveal_type(ring.push([1, 2.5, True, "hi", b"raw"]))
view.write(b"abc", offset=3)
view.write(memoryview(b"abc"))
view.write_mixed([1, [2.0, 3.0], "s"])
view.write_mixed((1, (2.0, 3.0), bytearray(b"s")))
ring.push((1, 2.5))
view.seek()
ring.push_many([(1, 2.5, "a"), [2, 3.5, "b"], b"raw"])
reveal_type(ring.pop_many(10, schema=[("i64", 1), ("str", 1)]))
reveal_type(ring.get_many(10, 0.5, tag="int"))
reveal_type(ring.get_many(10, schema=[("i64", 1)]))
"""

_VALUE = "Union[builtins.int, builtins.float, builtins.bool, builtins.str]"
EXPECTED = [
    "kelparine.SharedMemory",
    "kelparine.MappedView",
    "kelparine.SpscRingBuffer",
    "None",
    "builtins.int",
    "builtins.float",
    "builtins.bool",
    "builtins.str",
    _VALUE,
    "builtins.bytes",
    "builtins.list[Any]",
    "Union[builtins.bytes, None]",
    "Union[builtins.int, None]",
    "Union[builtins.float, None]",
    "Union[builtins.int, builtins.float, builtins.bool, builtins.str, None]",
    "Union[builtins.list[Any], None]",
    "builtins.bool",
    "builtins.list[builtins.list[Any]]",
    "builtins.list[builtins.int]",
    "builtins.list[builtins.list[Any]]",
]

MISUSE = """
import kelparine
view = kelparine.SharedMemory.open("/x").map()
ring = kelparine.SharedMemory.open("/x").spsc()
view.write(None)
view.write((1, 2))
view.read_mixed([("i64",)])
view.read_range(offset=0)
ring.pop(5)
kelparine.SharedMemory.create("/x", "4096")
ring.pop_many(5, "int", schema=[("i64", 1)])
class Sub(kelparine.SpscRingBuffer): ...
"""


def normalized(type_text):
    """A revealed type as a set of union members, whatever the mypy version's spelling
    ("Union[A, B]" or "A | B"); bool folds into int, as mypy simplifies such unions."""
    if type_text.startswith("Union[") and type_text.endswith("]"):
        members = {m.strip() for m in type_text[len("Union[") : -1].split(", ")}
    else:
        members = {m.strip() for m in type_text.split(" | ")}
    if "builtins.int" in members:
        members.discard("builtins.bool")
    return members


def revealed(output):
    return [
        normalized(line.split('Revealed type is "', 1)[1].rstrip('"'))
        for line in output.splitlines()
        if "Revealed type" in line
    ]


@pytest.fixture(scope="module")
def mypy_output(stub_dir, tmp_path_factory):
    """One mypy run over both snippets (a run costs seconds): its output lines by file."""
    directory = tmp_path_factory.mktemp("snippets")
    (directory / "usage.py").write_text(USAGE)
    (directory / "misuse.py").write_text(textwrap.dedent(MISUSE))
    result = run_mypy_tool(
        ["mypy", "--no-incremental", "--cache-dir", os.devnull, "--config-file", "", "usage.py", "misuse.py"],
        stub_dir,
        directory,
    )
    lines = result.stdout.splitlines()
    return {name: "\n".join(l for l in lines if l.startswith(name + ":")) for name in ("usage.py", "misuse.py")}


def test_overloads_give_precise_result_types(mypy_output):
    output = mypy_output["usage.py"]
    assert "error" not in output, output
    assert revealed(output) == [normalized(t) for t in EXPECTED], output


def test_stub_rejects_misuse(mypy_output):
    output = mypy_output["misuse.py"]
    errors = [line for line in output.splitlines() if ": error:" in line]
    # One error per misuse line: lines 5 to 12 of the snippet (the last is a subclass of a
    # final class).
    assert sorted({int(line.split(":")[1]) for line in errors}) == list(range(5, 13)), output
