"""Helpers shared by the benchmark suites: settings, segment names, timing, pinning and the
compilation of the C++ benchmark programs."""

import itertools
import os
import statistics
import subprocess
import time
import timeit
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = Path(os.environ.get("BUILD_DIR", ROOT / "build"))
BENCH_BUILD = BUILD_DIR / "bench"
RESULTS = ROOT / "bench" / "results"
REPORT = ROOT / "bench" / "report"

KiB = 1024
MiB = 1024 * KiB


@dataclass
class Settings:
    """How long and how often to measure. Every figure reported is a median over `repeats`."""

    quick: bool
    repeats: int          # runs per measurement; the median is reported
    ring_seconds: float   # target length of one two-process ring run
    timeit_seconds: float  # target length of one timeit repeat
    lock_seconds: float   # length of one multi-process lock run
    instr_calls: int      # calls per operation under callgrind
    pin: bool             # pin the ring's producer and consumer to two different CPUs

    @classmethod
    def make(cls, quick, pin=True):
        if quick:
            return cls(True, 5, 0.1, 0.01, 0.2, 5000, pin)
        return cls(False, 7, 0.4, 0.05, 1.0, 20000, pin)


_names = itertools.count()


def segment_name(stem):
    """A segment name unique to this process tree."""
    return f"/kelparine-bench-{os.getpid()}-{stem}-{next(_names)}"


def remove_segment(name):
    import kelparine

    try:
        kelparine.SharedMemory.remove(name)
    except OSError:
        pass


def median(values):
    return statistics.median(values)


def two_cpus():
    """(producer cpu, consumer cpu) to pin the two sides of a ring to, or None."""
    cpus = sorted(os.sched_getaffinity(0))
    return (cpus[0], cpus[1]) if len(cpus) >= 2 else None


def pin_to(cpu):
    if cpu is not None and cpu >= 0:
        os.sched_setaffinity(0, {cpu})


def ns_per_op_group(statements, namespace, settings):
    """{key: median ns per execution} for statements {key: (stmt, setup, max_number)}.

    Time is this process's CPU time (time.process_time), so the time it spends descheduled
    while other work runs on the machine does not count. Each loop count is calibrated so that
    one repeat lasts about settings.timeit_seconds (never above max_number, for statements that
    consume something finite, such as the cursor of a view; `setup` runs before every repeat).
    The repeats of the statements in one group are interleaved, so that a change of load during
    the measurement affects the statements compared alike. The figures include timeit's loop
    overhead (a few ns), the same for every statement.
    """
    plans = {}
    for key, (stmt, setup, max_number) in statements.items():
        timer = timeit.Timer(stmt, setup=setup, timer=time.process_time, globals=namespace)
        cap = max_number or 1 << 40
        number = 1
        while True:
            elapsed = timer.timeit(number)
            if elapsed >= settings.timeit_seconds / 5 or number >= cap:
                break
            number = min(cap, number * 4)
        per_call = max(elapsed, 1e-9) / number
        plans[key] = (timer, int(min(cap, max(1, settings.timeit_seconds / per_call))))
    samples = {key: [] for key in plans}
    for _ in range(settings.repeats):
        for key, (timer, number) in plans.items():
            samples[key].append(timer.timeit(number) / number)
    return {key: median(values) * 1e9 for key, values in samples.items()}


def compile_cpp(source, output, extra_args=(), depends=()):
    """Compiles one benchmark program with g++ -O2 unless `output` is newer than its inputs."""
    source, output = Path(source), Path(output)
    inputs = [source, *map(Path, depends)]
    if output.exists() and all(output.stat().st_mtime >= p.stat().st_mtime for p in inputs):
        return output
    output.parent.mkdir(parents=True, exist_ok=True)
    command = ["g++", "-O2", "-std=c++2b", "-Wall", "-Wextra", "-Werror", f"-I{ROOT / 'src'}",
               str(source), "-o", str(output), *extra_args]
    subprocess.run(command, check=True)
    return output


def fmt_si(value, unit=""):
    """3 significant figures with k/M/G: 1.23 M."""
    if value is None:
        return "n/a"
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if abs(value) >= scale:
            return f"{value / scale:.3g} {prefix}{unit}".rstrip()
    return f"{value:.3g} {unit}".rstrip()


def fmt_size(size):
    if size >= MiB and size % MiB == 0:
        return f"{size // MiB} MiB"
    if size >= KiB and size % KiB == 0:
        return f"{size // KiB} KiB"
    return f"{size} B"


def two_processes(produce, consume, args=(), cpus=None, timeout=120.0, label="run"):
    """Forks a consumer process running consume(*args) and a producer process running
    produce(*args), each pinned to its CPU of `cpus` (or not pinned), and returns what
    consume returned. A side that fails, or no result within `timeout`, raises RuntimeError."""
    import multiprocessing

    ctx = multiprocessing.get_context("fork")
    receiver, sender = ctx.Pipe(duplex=False)
    producer_cpu, consumer_cpu = cpus or (None, None)

    def consumer_main():
        pin_to(consumer_cpu)
        sender.send(consume(*args))

    def producer_main():
        pin_to(producer_cpu)
        produce(*args)

    consumer = ctx.Process(target=consumer_main)
    producer = ctx.Process(target=producer_main)
    try:
        consumer.start()
        producer.start()
        deadline = time.monotonic() + timeout
        while not receiver.poll(0.05):
            if producer.exitcode not in (None, 0) or consumer.exitcode is not None:
                raise RuntimeError(f"{label}: a side failed "
                                   f"(producer {producer.exitcode}, consumer {consumer.exitcode})")
            if time.monotonic() > deadline:
                raise RuntimeError(f"{label}: no result within {timeout:.0f} s")
        result = receiver.recv()
        producer.join(timeout)
        consumer.join(timeout)
        return result
    finally:
        for process in (producer, consumer):
            if process.is_alive():
                process.kill()
                process.join()
        receiver.close()
        sender.close()


def percentile(sorted_values, fraction):
    """The value at `fraction` (0..1) of an ascending list (nearest rank)."""
    if not sorted_values:
        return None
    index = min(len(sorted_values) - 1, max(0, int(round(fraction * len(sorted_values) + 0.5)) - 1))
    return sorted_values[index]


def paired(runs_a, runs_b):
    """Median of the per-repeat ratios a/b, with their range: the figure for runs made back to
    back, which cancels most of a change of machine speed between repeats."""
    ratios = sorted(a / b for a, b in zip(runs_a, runs_b))
    return {"median": median(ratios), "min": ratios[0], "max": ratios[-1], "ratios": ratios}


def poll_fill(push, payload, n):
    """Producer loop of a polling run: pushes `payload` n times, retrying while the ring is full."""
    for _ in range(n):
        while not push(payload):
            pass


def poll_rate(take, n):
    """Consumer loop of a polling run: waits for the first message, then returns messages per
    second over the n - 1 after it. `take` returns None while the ring is empty."""
    while take() is None:
        pass
    first = time.perf_counter()
    for _ in range(n - 1):
        while take() is None:
            pass
    return (n - 1) / (time.perf_counter() - first)


def fork_context():
    """The multiprocessing context of the benchmarks' helper processes and pipes."""
    import multiprocessing

    return multiprocessing.get_context("fork")


class Rings:
    """Fresh ring segments (`count` of `capacity` data bytes) for one run, removed afterwards.
    open(i) maps ring i afresh, as a process of the run does."""

    def __init__(self, count=1, capacity=1 << 20, stem="bench"):
        import kelparine

        self._open = lambda name: kelparine.SharedMemory.open(name).spsc()
        self.names = [segment_name(stem) for _ in range(count)]
        for name in self.names:
            kelparine.SharedMemory.create(name, 24 + capacity).spsc()

    def open(self, i=0):
        return self._open(self.names[i])

    def open_all(self):
        return [self.open(i) for i in range(len(self.names))]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for name in self.names:
            remove_segment(name)
