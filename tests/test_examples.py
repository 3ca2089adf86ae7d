"""Examples must keep working: every script under examples/ runs as a smoke test with small
sizes, and the interactive examples in the module's docstrings (what help() shows) are run as
doctests, so the reference documentation cannot show results the module no longer gives."""

import doctest
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import pytest

import kelparine
from conftest import remove_quietly, unique_name

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

# ---------------------------------------------------------------------------------------------
# Scripts under examples/, each with small sizes

SCRIPTS = [
    ("demo.py", ["--messages", "2000"], None),
    ("pipeline.py", ["--records", "3000", "--capacity", "1024"], None),
    ("worker_pool.py", ["--workers", "3", "--limit", "20000"], None),
    ("queue_pool.py", ["--workers", "3", "--jobs", "3000"], None),
    ("plain_reader.py", [], None),
    ("numpy_view.py", ["--rows", "64", "--cols", "5", "--matrices", "40"], "numpy"),
    ("fan_in.py", ["--producers", "3", "--messages", "500", "--pause", "0.001"], None),
    ("frames.py", ["--frames", "60", "--width", "64", "--height", "48", "--check"], "numpy"),
    # Over 127.0.0.1, there and back, with rings small enough that back-pressure crosses the socket.
    ("bridge.py", ["--messages", "2000", "--capacity", "4096", "--timeout", "30"], "zmq"),
]


def test_every_example_is_run():
    assert sorted(p.name for p in EXAMPLES.glob("[!_]*.py")) == sorted(s for s, _, _ in SCRIPTS)


def leftover_segments(pid):
    """Segments an example made under its pid (all of them are named kelparine-...-<pid>...)."""
    pattern = re.compile(rf"^kelparine-.*-{pid}(-|$)")
    return [n for n in os.listdir("/dev/shm") if pattern.match(n)]


def example_env():
    env = dict(os.environ)
    # The children import the same kelparine as this test (build tree or installed wheel).
    module_dir = str(pathlib.Path(kelparine.__file__).parent)
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    return env


@pytest.mark.parametrize("script, args, needs", SCRIPTS, ids=[s for s, _, _ in SCRIPTS])
def test_example_runs(script, args, needs):
    if needs:
        pytest.importorskip(needs)
    process = subprocess.Popen(
        [sys.executable, str(EXAMPLES / script), *args],
        env=example_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        out, err = process.communicate(timeout=60)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode == 0, f"{script} failed:\n{out}\n{err}"
    assert out.strip(), f"{script} printed nothing"
    assert leftover_segments(process.pid) == []


# Examples stopped in the middle of a long run: the segments must go with them, and so must
# their child processes. Ctrl-C is tried on one; SIGTERM on all that run long enough.
ENDLESS = [
    ("demo.py", ["--messages", "1000000000"], None, signal.SIGTERM),
    ("pipeline.py", ["--records", "1000000000"], None, signal.SIGTERM),
    ("pipeline.py", ["--records", "1000000000"], None, signal.SIGINT),
    ("fan_in.py", ["--messages", "1000000000"], None, signal.SIGTERM),
    ("worker_pool.py", ["--limit", "1000000000"], None, signal.SIGTERM),
    ("numpy_view.py", ["--matrices", "1000000000"], "numpy", signal.SIGTERM),
    ("frames.py", ["--frames", "1000000000", "--width", "320", "--height", "240"], "numpy", signal.SIGTERM),
    ("bridge.py", ["--messages", "1000000000"], "zmq", signal.SIGTERM),
]


def children_of(pid):
    children = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    fields = stat.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            if int(fields[1]) == pid:
                children.append(int(entry))
    return children


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.mark.parametrize("script, args, needs, signum", ENDLESS,
                         ids=[f"{s}-{signal.Signals(n).name}" for s, _, _, n in ENDLESS])
def test_example_stopped_by_a_signal_removes_its_segments(script, args, needs, signum):
    if needs:
        pytest.importorskip(needs)
    process = subprocess.Popen([sys.executable, str(EXAMPLES / script), *args], env=example_env(),
                               stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        # Running in earnest: its segments exist and its children have started.
        while not (leftover_segments(process.pid) and children_of(process.pid)):
            assert process.poll() is None and time.monotonic() < deadline, "the example did not get going"
            time.sleep(0.05)
        time.sleep(1.0)
        children = children_of(process.pid)
        process.send_signal(signum)
        _, err = process.communicate(timeout=30)
    finally:
        if process.poll() is None:
            process.kill()
            process.communicate()
    assert process.returncode != 0
    assert leftover_segments(process.pid) == [], err
    # Helpers such as multiprocessing's resource tracker end once the example's pipe closes.
    deadline = time.monotonic() + 10
    while [pid for pid in children if running(pid)] and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not [pid for pid in children if running(pid)], "a child process outlived the example"


# ---------------------------------------------------------------------------------------------
# Docstring examples

CLASSES = (kelparine.SharedMemory, kelparine.MappedView, kelparine.SpscRingBuffer)


def documented_objects():
    for cls in CLASSES:
        yield cls.__name__, cls
        for name, member in vars(cls).items():
            if not name.startswith("_"):
                yield f"{cls.__name__}.{name}", getattr(cls, name)


DOCUMENTED = list(documented_objects())

# Segment names quoted in the examples ("/telemetry", '/jobs', ...): renamed per run so that
# concurrent test runs on one host never share a segment.
QUOTED_NAME = re.compile(r"""(["'])(/[A-Za-z0-9_-]+)\1""")


@pytest.mark.parametrize("qualname, obj", DOCUMENTED, ids=[q for q, _ in DOCUMENTED])
def test_every_class_and_member_is_documented(qualname, obj):
    doc = obj.__doc__ or ""
    body = doc.split("\n--\n\n", 1)[-1]
    # A summary line, then at least one paragraph of explanation for anything non-trivial.
    assert body.strip(), qualname
    assert len(body.split()) >= 8, f"{qualname}: {body!r}"


def _with_examples():
    return [(q, o) for q, o in DOCUMENTED if ">>>" in (o.__doc__ or "")]


@pytest.mark.parametrize("qualname, obj", _with_examples(), ids=[q for q, _ in _with_examples()])
def test_docstring_examples_run(qualname, obj):
    if "import numpy" in obj.__doc__:
        pytest.importorskip("numpy")
    renames = {}

    def rename(match):
        quote, name = match.groups()
        renames.setdefault(name, unique_name("doc" + name.replace("/", "-")))
        return quote + renames[name] + quote

    text = QUOTED_NAME.sub(rename, obj.__doc__.split("\n--\n\n", 1)[-1])
    view_name, ring_name = unique_name("docview"), unique_name("docring")
    globs = {
        "SharedMemory": kelparine.SharedMemory,
        "MappedView": kelparine.MappedView,
        "SpscRingBuffer": kelparine.SpscRingBuffer,
        # Method examples work on a fresh view and ring, as a reader would have them.
        "view": kelparine.SharedMemory.create(view_name, 4 + 256).map(),
        "ring": kelparine.SharedMemory.create(ring_name, 24 + 256).spsc(),
    }
    try:
        test = doctest.DocTestParser().get_doctest(text, globs, qualname, None, 0)
        assert test.examples, qualname
        output = []
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        result = runner.run(test, out=output.append, clear_globs=False)
        assert result.failed == 0, "".join(output)
    finally:
        for name in [view_name, ring_name, *renames.values()]:
            remove_quietly(name)
