"""The blocking/bulk stress program and the building blocks of the wait and bulk benchmarks,
run at tiny sizes: they must keep working and keep checking what they claim to check (the
figures themselves are the benchmark's business, never a test's)."""

import os
import pathlib
import subprocess
import sys

import pytest

import kelparine

ROOT = pathlib.Path(__file__).resolve().parent.parent


def run_tool(*args):
    env = dict(os.environ)
    module_dir = str(pathlib.Path(kelparine.__file__).parent)
    inherited = [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]
    env["PYTHONPATH"] = os.pathsep.join([module_dir, str(ROOT / "stress"), *inherited])
    return subprocess.run([sys.executable, *args], env=env, capture_output=True, text=True, timeout=120)


@pytest.mark.parametrize("mode", ["park", "mixed"])
def test_blocking_stress_checks_every_message(mode):
    done = run_tool(str(ROOT / "stress" / "blocking_stress.py"), "--mode", mode, "--messages", "6000",
                    "--capacities", "64,4096", "--bound", "60")
    assert done.returncode == 0, done.stdout + done.stderr
    assert "6000 messages checked, none lost, reordered or corrupted, no run hung" in done.stdout


@pytest.fixture
def bench_modules(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "bench"))
    import bulk_suite
    import wait_suite

    return wait_suite, bulk_suite


def test_wait_building_blocks(bench_modules, monkeypatch):
    wait_suite, _ = bench_modules
    monkeypatch.setattr(wait_suite, "IDLE_SECONDS", 0.2)
    latencies = wait_suite.latency_ring(20, None, 1)
    assert len(latencies) == 20 and latencies == sorted(latencies) and latencies[0] > 0
    assert len(wait_suite.latency_select(20, None, 2, 3)) == 20
    assert len(wait_suite.round_trip_rings(50, None)) == 50
    assert wait_suite.run_idle()["get() on an empty ring"]["wall_s"] >= wait_suite.IDLE_SECONDS


def test_numpy_paths_agree_and_loans_are_aligned(bench_modules):
    _, bulk_suite = bench_modules
    np = pytest.importorskip("numpy")
    for aligned in (True, False):
        assert bulk_suite.numpy_loans(20, None, 1000, aligned) > 0  # each run checks every sum
    assert bulk_suite.numpy_copying(20, None, 1000) > 0
    assert bulk_suite.numpy_shared_memory(20, None, 1000, 3) > 0
    assert bulk_suite.numpy_queue(10, None, 1000, 3) > 0

    # The padding idiom: after one empty message, every payload of 8k + 4 bytes is 8-aligned,
    # including the ones the ring stages because they wrap.
    with bulk_suite.Ring(4096) as segment:
        ring = segment.open()
        ring.put(b"")
        assert ring.get() == b""
        for k in range(60):
            size = bulk_suite.numpy_message_size(8 * (1 + k % 50))
            with ring.reserve(size) as buf:
                assert np.frombuffer(buf, np.uint8).ctypes.data % 8 == 0
            with ring.borrow() as buf:
                assert np.frombuffer(buf, np.uint8).ctypes.data % 8 == 0


def test_array_paths_check_every_array(monkeypatch):
    pytest.importorskip("numpy")
    monkeypatch.syspath_prepend(str(ROOT / "bench"))
    import array_suite

    # Each run checks every array it receives; the 32 MiB ring wraps within 10 arrays.
    assert array_suite.loans(10, None, 0) > 0
    assert array_suite.copying(10, None, 0) > 0
    assert array_suite.shared_memory_slots(10, None, 0) > 0
    assert array_suite.get_array_rate(10, None) > 0


def test_dead_producer_trials_end_as_claimed(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "bench"))
    import presence_suite

    monkeypatch.setattr(presence_suite, "QUEUE_TIMEOUT", 0.2)
    # A trial raises unless the consumer's blocked call ended as its row says: EOFError from the
    # ring's get() and the Pipe's recv_bytes(), a timeout from the Queue's get().
    assert presence_suite.ring_trial(0.05) > 0
    assert presence_suite.pipe_trial(0.05) > 0
    assert presence_suite.queue_trial(0.05)[0] == "timed out"
    # The before/after runs import the module from the build directory they are given.
    build = pathlib.Path(kelparine.__file__).parent
    assert all(presence_suite.rate_in(build, kind, 2000, None) > 0 for kind in presence_suite.KINDS)


def test_queue_runs_check_what_they_count(monkeypatch):
    monkeypatch.syspath_prepend(str(ROOT / "bench"))
    import queue_suite as qs

    # A flow raises unless its consumers took exactly the items its producers put.
    for kind in (qs.QUEUE, qs.MANY, qs.MPQ, qs.RING):
        assert qs.flow_rate(kind, 1, 1, qs.ITEM, 1000) > 0
    for kind in (qs.QUEUE, qs.MPQ):
        assert qs.flow_rate(kind, 3, 2, qs.RECORD, 1001) > 0
    # A pool run raises unless every verdict is right.
    for kind in (qs.POOL_QUEUE, qs.POOL_MPQ, qs.POOL_PER_JOB, qs.POOL_CHUNKED):
        assert qs.pool_seconds(kind, jobs=2000, workers=2) > 0
    # A trial raises unless the stalled put was still uncommitted at the kill and both consumers
    # then took the other producer's items; None when those went ahead of the stalled claim.
    for kill_at_ms in qs.KILL_AT_MS:
        results = [qs.kill_trial(kill_at_ms) for _ in range(3)]
        assert any(ns is not None and ns > 0 for ns in results), results


CHECKER_PROBE = """
from blocking_stress import Checker, Frames

frames, checker = Frames(7, 4096), Checker(7, 4096)
first = next(s for s in range(300) if checker.sizes[s] > 20)
for seq in range(first):
    assert checker.check(bytes(frames.get(seq))) is None
message = bytes(frames.get(first))
assert "lost or reordered" in checker.check((first + 1).to_bytes(8, "little") + message[8:])
assert "bytes, expected" in checker.check(message + b"x")
damaged = bytearray(message)
damaged[-1] ^= 0xFF
assert "corrupted" in checker.check(bytes(damaged))
assert checker.seq == first  # nothing wrong was counted
assert checker.check(message) is None and checker.seq == first + 1
print("checked")
"""


def test_stress_checker_names_what_is_wrong():
    # In a process of its own: the stress and bench helpers are both named `common`.
    done = run_tool("-c", CHECKER_PROBE)
    assert done.returncode == 0 and "checked" in done.stdout, done.stdout + done.stderr


def test_readme_and_site_quote_the_same_figures_from_the_report(monkeypatch, tmp_path):
    import json

    monkeypatch.syspath_prepend(str(ROOT / "bench"))
    import figures

    def flat(text):
        return " ".join(text.split())

    assert figures.stale() == [], "the pages' figures differ from bench/report/latest.json: run bench/figures.py"
    report = json.loads((ROOT / "bench" / "report" / "latest.json").read_text())
    pages = {page: flat((ROOT / page).read_text()) for page in ("README.md", "docs/index.md")}
    sentence = flat(figures.ring_sentence(figures.figures(report)))
    assert all(sentence in text for text in pages.values())
    # Another report makes both pages stale, and both then quote its figures.
    report["results"]["ring"]["peers"]["mp.Queue"]["64"]["msg_per_s"] /= 3
    (tmp_path / "latest.json").write_text(json.dumps(report))
    changed = dict(figures.stale(report_path=tmp_path / "latest.json"))
    assert sorted(changed) == sorted(pages)
    sentence = flat(figures.ring_sentence(figures.figures(report)))
    assert all(sentence in flat(text) for text in changed.values())
