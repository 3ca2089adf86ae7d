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


def test_wait_building_blocks(bench_modules):
    wait_suite, _ = bench_modules
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
    assert bulk_suite.numpy_copying(20, None, 1000, bulk_suite._push_takes_buffers()) > 0
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
