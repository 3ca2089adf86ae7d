"""NumPy arrays as ring messages, written the obvious way, against what a user would take instead.

  4 MB     float32 arrays of 1000 x 1000; the producer fills each (a.fill(k)), the consumer sums
           each (a.sum()), on a 32 MiB ring (so once per trip round the ring an array wraps and
           is staged):
             loans          with reserve_array(...) as a: a.fill(k) / with borrow_array() as a:
             copying        a.fill(k); put_array(a) / get_array().sum()
             shared_memory  by hand: 8 slots of a multiprocessing.shared_memory block (the ring's
                            32 MiB), filled in place; a Pipe carries the slot number there and back
  1 MiB    get_array() of 1 MiB float32 arrays from a producer in put_array(), against the C++
           floor (bench/cpp/ring_floor.cpp: 1 MiB payloads copied out into a reused buffer), on
           rings of the floor's 8 MiB

Compared runs are made back to back in each repeat; the ratios are medians of the per-repeat
ratios. Standalone: PYTHONPATH=build python3 bench/array_suite.py [--quick] [--no-pin].
"""

import time
from multiprocessing import shared_memory

import ring_suite
from common import MiB, Rings, fork_context, median, paired, two_cpus, two_processes

SHAPE = (1000, 1000)
COUNT = SHAPE[0] * SHAPE[1]
NBYTES = 4 * COUNT
CAPACITY = 32 * MiB
SLOTS = CAPACITY // NBYTES
FLOOR_SIZE = MiB


def summed_rate(n, warm, next_sum):
    """Consumer loop: next_sum() takes array k and returns (its sum, its first and last
    elements), which must be k; arrays per second after the first `warm` + 1, which pay for
    page faults and caches."""
    start = None
    for k in range(n):
        _, first, last = next_sum()
        if first != k or last != k:
            raise RuntimeError(f"array {k}: holds {first}..{last}")
        if k == warm:
            start = time.perf_counter()
    return (n - 1 - warm) / (time.perf_counter() - start)


def loans(n, cpus, warm):
    import numpy as np

    with Rings(1, CAPACITY, stem="arrays") as rings:
        def produce():
            reserve_array = rings.open().reserve_array
            for k in range(n):
                with reserve_array(SHAPE, np.float32) as a:
                    a.fill(k)

        def consume():
            borrow_array = rings.open().borrow_array

            def next_sum():
                with borrow_array() as a:
                    return a.sum(), a[0, 0], a[-1, -1]
            return summed_rate(n, warm, next_sum)

        return two_processes(produce, consume, cpus=cpus, label="arrays: loans")


def copying(n, cpus, warm):
    import numpy as np

    with Rings(1, CAPACITY, stem="arrays") as rings:
        def produce():
            put_array, a = rings.open().put_array, np.empty(SHAPE, np.float32)
            for k in range(n):
                a.fill(k)
                put_array(a)

        def consume():
            get_array = rings.open().get_array

            def next_sum():
                a = get_array()
                return a.sum(), a[0, 0], a[-1, -1]
            return summed_rate(n, warm, next_sum)

        return two_processes(produce, consume, cpus=cpus, label="arrays: copying")


def shared_memory_slots(n, cpus, warm):
    """What a user builds by hand: a block of slots, arrays filled in place, slot numbers sent
    over a Pipe, and sent back once read so the producer can reuse the slot."""
    import numpy as np

    block = shared_memory.SharedMemory(create=True, size=NBYTES * SLOTS)
    there_reader, there_writer = fork_context().Pipe(duplex=False)
    back_reader, back_writer = fork_context().Pipe(duplex=False)

    def produce():
        free = list(range(SLOTS))
        for k in range(n):
            if not free:
                free.append(back_reader.recv())
            slot = free.pop()
            a = np.ndarray(SHAPE, np.float32, buffer=block.buf, offset=slot * NBYTES)
            a.fill(k)
            del a
            there_writer.send(slot)

    def consume():
        def next_sum():
            slot = there_reader.recv()
            a = np.ndarray(SHAPE, np.float32, buffer=block.buf, offset=slot * NBYTES)
            result = a.sum(), a[0, 0], a[-1, -1]
            del a
            back_writer.send(slot)
            return result
        return summed_rate(n, warm, next_sum)

    try:
        return two_processes(produce, consume, cpus=cpus, label="arrays: shared_memory")
    finally:
        for connection in (there_reader, there_writer, back_reader, back_writer):
            connection.close()
        block.close()
        block.unlink()


def get_array_rate(n, cpus):
    import numpy as np

    with Rings(1, ring_suite.CAPACITY, stem="arrays") as rings:
        def produce():
            put_array, a = rings.open().put_array, np.ones(FLOOR_SIZE // 4, np.float32)
            for _ in range(n):
                put_array(a)

        def consume():
            get_array = rings.open().get_array
            get_array()
            first = time.perf_counter()
            for _ in range(n - 1):
                get_array()
            return (n - 1) / (time.perf_counter() - first)

        return two_processes(produce, consume, cpus=cpus, label="arrays: get_array 1 MiB")


def run(settings, log):
    try:
        import numpy  # noqa: F401
    except ImportError:
        log("arrays: NumPy is not installed; skipped")
        return None
    cpus = two_cpus() if settings.pin else None
    ring_suite.floor_binary()
    warm = 2 * CAPACITY // NBYTES + 1
    n = warm + (150 if settings.quick else 600)
    plan = {
        "reserve_array/borrow_array": lambda: loans(n, cpus, warm),
        "put_array/get_array": lambda: copying(n, cpus, warm),
        "shared_memory slots + Pipe": lambda: shared_memory_slots(n, cpus, warm),
    }
    runs = {name: [] for name in plan}
    m = 300 if settings.quick else 1500
    large = {"get_array (put_array producer)": [], "C++ floor": []}
    for _ in range(settings.repeats):
        for name, measure in plan.items():
            runs[name].append(measure())
        large["get_array (put_array producer)"].append(get_array_rate(m, cpus))
        large["C++ floor"].append(ring_suite.run_floor(FLOOR_SIZE, m, cpus))
    log(f"arrays: {settings.repeats} x ({len(plan)} runs of {n} 4 MB arrays + 2 runs of {m} 1 MiB messages)")
    ours = runs["reserve_array/borrow_array"]
    return {
        "arrays": n, "warm": warm, "capacity": CAPACITY, "slots": SLOTS,
        "pinned_cpus": list(cpus) if cpus else None,
        "arrays_per_s": {name: median(r) for name, r in runs.items()},
        "ratios": {name: paired(ours, r) for name, r in runs.items() if r is not ours},
        "large": {"messages": m, "msg_per_s": {name: median(r) for name, r in large.items()},
                  "vs_floor": paired(large["get_array (put_array producer)"], large["C++ floor"]), "runs": large},
        "runs": runs,
    }


def table(arrays, lines):
    """Lines for bench/run.py's table."""
    fmt = lambda p: f"{p['median']:.2f}x ({p['min']:.2f}x-{p['max']:.2f}x)"  # noqa: E731
    lines.append(f"Arrays: NumPy float32 {SHAPE[0]}x{SHAPE[1]} (4 MB), producer fills, consumer sums, "
                 f"{CAPACITY // MiB} MiB ring; loans against each, median of paired runs (range)")
    for name, rate in arrays["arrays_per_s"].items():
        ratio = arrays["ratios"].get(name)
        lines.append(f"  {name:<34} {rate:>7.0f} arrays/s {rate * NBYTES / 1e9:>6.2f} GB/s   {fmt(ratio) if ratio else ''}")
    large = arrays["large"]
    lines.append("Arrays: 1 MiB float32 arrays, get_array() against the C++ floor (copies into a reused buffer)")
    for name, rate in large["msg_per_s"].items():
        lines.append(f"  {name:<34} {rate:>7.0f} msg/s {rate * FLOOR_SIZE / 1e9:>6.2f} GB/s")
    lines.append(f"  get_array / floor: {fmt(large['vs_floor'])}")


def targets(arrays):
    if not arrays:
        return []
    rows = []
    for peer, factor in (("put_array/get_array", 1.5), ("shared_memory slots + Pipe", 1.2)):
        ratio = arrays["ratios"][peer]["median"]
        rows.append((f"arrays 4 MB: loans >= {factor:g}x {peer}", f"{ratio:.2f}x", ratio >= factor))
    ratio = arrays["large"]["vs_floor"]["median"]
    rows.append(("arrays 1 MiB: get_array >= 0.9x the C++ floor", f"{ratio:.2f}x", ratio >= 0.9))
    return rows


if __name__ == "__main__":
    import argparse
    import sys

    from common import Settings

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-pin", action="store_true")
    parser.add_argument("--repeats", type=int, help="paired repeats (default: the settings')")
    args = parser.parse_args()
    settings = Settings.make(args.quick, pin=not args.no_pin)
    if args.repeats:
        settings.repeats = args.repeats
    results = run(settings, lambda message: print(message, file=sys.stderr, flush=True))
    lines = []
    table(results, lines)
    lines += [f"  target {t}: {m} {'PASS' if p else 'MISS'}" for t, m, p in targets(results)]
    print("\n".join(lines))
