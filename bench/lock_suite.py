"""The segment lock: its uncontended cost in C++ (Google Benchmark, beside process-shared
pthread locks), and read throughput from Python with 1 and 2 reader processes while a writer
process keeps writing to the same view.

In the Python runs every reader calls read_range(off, 64) and the writer write(64 B, off)
in tight loops for the same fixed time; the peer is a multiprocessing.shared_memory segment
guarded by one multiprocessing.Lock (the stdlib has no reader-writer lock, so its readers
exclude each other too). On a 2-core machine three busy processes oversubscribe the CPUs,
and a spinning lock whose holder is preempted makes the others spin until it runs again:
these figures show behaviour under contention, not a best case.
"""

import json
import multiprocessing
import subprocess
import time
from multiprocessing import shared_memory

import kelparine

from common import BENCH_BUILD, ROOT, compile_cpp, remove_segment, segment_name

OFFSET = 4096
BATCH = 256
_ctx = multiprocessing.get_context("fork")


def rwlock_binary():
    libs = subprocess.run(["pkg-config", "--cflags", "--libs", "benchmark"], capture_output=True, text=True,
                          check=True).stdout.split()
    return compile_cpp(ROOT / "bench" / "cpp" / "rwlock_bench.cpp", BENCH_BUILD / "rwlock_bench",
                       extra_args=[*libs, "-lpthread"], depends=[ROOT / "src" / "core" / "rwlock.hpp"])


def run_cpp(settings):
    """{benchmark name: {"real_ns", "cpu_ns"}} (medians over settings.repeats repetitions)."""
    done = subprocess.run(
        [str(rwlock_binary()), "--benchmark_format=json", f"--benchmark_min_time={settings.timeit_seconds}",
         f"--benchmark_repetitions={settings.repeats}", "--benchmark_report_aggregates_only=true"],
        capture_output=True, text=True, check=True, timeout=300)
    results = {}
    for entry in json.loads(done.stdout)["benchmarks"]:
        if entry.get("aggregate_name") == "median":
            assert entry["time_unit"] == "ns"
            results[entry["run_name"].removeprefix("BM_")] = {"real_ns": entry["real_time"],
                                                              "cpu_ns": entry["cpu_time"]}
    return results


def _loop(work, start, seconds, sender):
    """Calls `work` in batches until `seconds` have passed; sends calls per second."""
    start.wait()
    calls = 0
    begin = time.perf_counter()
    deadline = begin + seconds
    while True:
        for _ in range(BATCH):
            work()
        calls += BATCH
        now = time.perf_counter()
        if now >= deadline:
            break
    sender.send(calls / (now - begin))


def _kelparine_reader(name, start, seconds, sender):
    read_range = kelparine.SharedMemory.open(name).map().read_range
    _loop(lambda: read_range(OFFSET, 64), start, seconds, sender)


def _kelparine_writer(name, start, seconds, sender):
    write = kelparine.SharedMemory.open(name).map().write
    data = bytes(64)
    _loop(lambda: write(data, OFFSET), start, seconds, sender)


def _stdlib_reader(buf, lock, start, seconds, sender):
    def work():
        with lock:
            bytes(buf[OFFSET:OFFSET + 64])
    _loop(work, start, seconds, sender)


def _stdlib_writer(buf, lock, start, seconds, sender):
    data = bytes(64)

    def work():
        with lock:
            buf[OFFSET:OFFSET + 64] = data
    _loop(work, start, seconds, sender)


def _run_processes(reader, writer, args, readers, seconds):
    start = _ctx.Event()
    channels = []
    processes = []
    for role in [reader] * readers + [writer]:
        receiver, sender = _ctx.Pipe(duplex=False)
        processes.append(_ctx.Process(target=role, args=(*args, start, seconds, sender)))
        channels.append(receiver)
    for process in processes:
        process.start()
    time.sleep(0.05)  # let every process reach the start line
    start.set()
    try:
        rates = []
        for receiver in channels:
            if not receiver.poll(seconds + 30):
                raise RuntimeError("a lock benchmark process did not report")
            rates.append(receiver.recv())
        return {"reads_per_s": sum(rates[:-1]), "per_reader": rates[:-1], "writes_per_s": rates[-1]}
    finally:
        for process in processes:
            process.join(5)
            if process.is_alive():
                process.kill()
                process.join()


def run_python(settings):
    results = {}
    name = segment_name("lock")
    shm = kelparine.SharedMemory.create(name, 4 + 64 * 1024)
    peer = shared_memory.SharedMemory(create=True, size=64 * 1024)
    try:
        shm.map()  # the creator clears the lock word
        lock = _ctx.Lock()
        runs = {}
        for _ in range(settings.repeats):  # interleaved, like the ring runs
            for readers in (1, 2):
                runs.setdefault(f"kelparine, {readers} reader(s) + 1 writer", []).append(_run_processes(
                    _kelparine_reader, _kelparine_writer, (name,), readers, settings.lock_seconds))
                runs.setdefault(f"stdlib + mp.Lock, {readers} reader(s) + 1 writer", []).append(_run_processes(
                    _stdlib_reader, _stdlib_writer, (peer.buf, lock), readers, settings.lock_seconds))
        for key, samples in runs.items():
            # The run with the median total read rate, whole, so its figures belong together.
            samples.sort(key=lambda sample: sample["reads_per_s"])
            results[key] = dict(samples[len(samples) // 2], runs=[sample["reads_per_s"] for sample in samples])
    finally:
        remove_segment(name)
        peer.close()
        peer.unlink()
    return results


def run(settings, log):
    results = {"cpp": None, "python": None}
    try:
        results["cpp"] = run_cpp(settings)
    except (OSError, subprocess.CalledProcessError) as error:  # no Google Benchmark here
        log(f"lock: C++ benchmark skipped: {error}")
    results["python"] = run_python(settings)
    return results
