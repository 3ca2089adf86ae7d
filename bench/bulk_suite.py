"""Bulk data: batches of small messages, large messages without a fresh object per message,
and NumPy arrays without copies, each beside the C++ floor or what a user would take instead.

  batch 64 B   push_many/pop_many in batches of 64, against the single-call push/pop loop, the
               C++ floor (bench/cpp/ring_floor.cpp) and mp.Pipe sending each batch of 64
               records as one send_bytes (the consumer splits it into 64 records again, as
               pop_many hands out 64 bytes objects)
  1 MiB        pop_into() a reused bytearray, and pop(), against the floor, which also copies
               each message out into a reused buffer
  NumPy        float64 arrays of 1 MiB and 6 MB; the producer writes every element
               (fill) and the consumer reads every element (sum):
                 loans         fill np.frombuffer(buf) in reserve(), sum it in borrow(), in
                               frames of exactly half the ring (the smallest that holds two
                               arrays): frames never wrap, so nothing is staged, and the two
                               halves stay in the caches; the array starts 4 bytes into the
                               payload, so it is 8-byte aligned
                 loans, stream  the same on a 32 MiB ring, messages padded to 8k + 4 bytes
                               after one empty message (every array 8-byte aligned): an array
                               that wraps round the ring's end is staged (two more copies),
                               once per trip round the ring
                 loans, stream, unaligned   the same without the empty message (at 4 mod 8)
                 copying       fill an array, push(arr), np.frombuffer(pop()).sum(), on the
                               same ring as the loans
                 mp.Queue      put the array (pickled), get().sum()
                 shared_memory by hand: slots in a multiprocessing.shared_memory block, filled
                               in place; a Pipe carries the slot number there and back
  sizes        throughput against size for the bytes path (push/pop), pop_into and the loans
               (reserve + buf[:] = payload, borrow without touching the bytes), with the floor

Compared runs are made back to back in each repeat; the ratios are medians of the per-repeat
ratios.
"""

import time
from multiprocessing import shared_memory

import ring_suite
from common import KiB, MiB, Rings, fork_context, median, paired, poll_fill, poll_rate, two_cpus, two_processes

CAPACITY = 8 * MiB
NUMPY_CAPACITY = 32 * MiB
BATCH = 64
RECORD = 64

def Ring(capacity=CAPACITY):  # noqa: N802 - reads as the one ring a run uses
    return Rings(1, capacity, stem="bulk")


# ---------------------------------------------------------------------------------- 64 B batches

def batched_ring(n, cpus):
    with Ring() as ring:
        def produce():
            push_many, batch = ring.open().push_many, [bytes(RECORD)] * BATCH
            sent = 0
            while sent < n:
                sent += push_many(batch if n - sent >= BATCH else batch[:n - sent])

        def consume():
            pop_many = ring.open().pop_many
            got = 0
            while got == 0:
                got = len(pop_many(BATCH))
            first, counted = time.perf_counter(), got
            while got < n:
                got += len(pop_many(BATCH))
            return (n - counted) / (time.perf_counter() - first)

        return two_processes(produce, consume, cpus=cpus, label="push_many/pop_many")


def single_ring(n, cpus, size=RECORD):
    with Ring() as ring:
        return two_processes(lambda: poll_fill(ring.open().push, bytes(size), n),
                             lambda: poll_rate(ring.open().pop, n), cpus=cpus, label=f"push/pop {size} B")


def batched_pipe(n, cpus):
    reader, writer = fork_context().Pipe(duplex=False)
    batches = max(2, n // BATCH)

    def produce():
        send, block = writer.send_bytes, bytes(RECORD * BATCH)
        for _ in range(batches):
            send(block)

    def consume():
        receive, offsets = reader.recv_bytes, range(0, RECORD * BATCH, RECORD)
        receive()
        first = time.perf_counter()
        for _ in range(batches - 1):
            block = receive()
            records = [block[i:i + RECORD] for i in offsets]  # noqa: F841 (what a user would need)
        return (batches - 1) * BATCH / (time.perf_counter() - first)

    try:
        return two_processes(produce, consume, cpus=cpus, label="Pipe batches")
    finally:
        reader.close()
        writer.close()


def floor(size, n, cpus):
    """Messages per second of the C++ floor, on a ring of ring_suite.CAPACITY (the same 8 MiB)."""
    return ring_suite.run_floor(size, n, cpus)


def run_batches(settings, log):
    cpus = two_cpus() if settings.pin else None
    pilot = batched_ring(200_000, cpus)
    n = int(max(200_000, pilot * settings.ring_seconds))
    runs = {"push_many/pop_many, batches of 64": [], "push/pop, one call each": [], "C++ floor": [],
            "mp.Pipe, 64 records per send_bytes": []}
    for _ in range(settings.repeats):
        runs["push_many/pop_many, batches of 64"].append(batched_ring(n, cpus))
        runs["push/pop, one call each"].append(single_ring(max(20000, n // 4), cpus))
        runs["C++ floor"].append(floor(RECORD, n * 4, cpus))
        runs["mp.Pipe, 64 records per send_bytes"].append(batched_pipe(n, cpus))
    log(f"bulk: 64 B batches: {settings.repeats} x {len(runs)} runs")
    ours = runs["push_many/pop_many, batches of 64"]
    return {"messages": n, "msg_per_s": {name: median(r) for name, r in runs.items()},
            "ratios": {name: paired(ours, r) for name, r in runs.items() if r is not ours},
            "runs": runs}


# ------------------------------------------------------------------------------------------ 1 MiB

def large_ring(n, cpus, size, mode):
    with Ring() as ring:
        def produce():
            poll_fill(ring.open().push, ring_suite.payload_of(size), n)

        def consume():
            ring_object = ring.open()
            if mode == "pop_into":
                pop_into, into = ring_object.pop_into, bytearray(size)
                return poll_rate(lambda: pop_into(into), n)
            return poll_rate(ring_object.pop, n)

        return two_processes(produce, consume, cpus=cpus, label=f"{mode} {size} B")


def run_large(settings, log):
    cpus = two_cpus() if settings.pin else None
    size = MiB
    n = 500 if settings.quick else 2000
    runs = {"pop_into(reused bytearray)": [], "pop()": [], "C++ floor": []}
    for _ in range(settings.repeats):
        runs["pop_into(reused bytearray)"].append(large_ring(n, cpus, size, "pop_into"))
        runs["pop()"].append(large_ring(n, cpus, size, "pop"))
        runs["C++ floor"].append(floor(size, n, cpus))
    log(f"bulk: 1 MiB: {settings.repeats} x 3 runs of {n} messages")
    floor_runs = runs["C++ floor"]
    return {"size": size, "messages": n, "msg_per_s": {name: median(r) for name, r in runs.items()},
            "vs_floor": {name: paired(r, floor_runs) for name, r in runs.items() if r is not floor_runs},
            "runs": runs}


# ------------------------------------------------------------------------------------------ NumPy

def numpy_message_size(nbytes):
    """Padded to 8k + 4 bytes: every frame is a multiple of 8, so every payload starts at the
    same offset mod 8: 0 after a first, empty, message (a 4-byte frame), 4 without it."""
    return nbytes + (4 - nbytes) % 8


def half_ring(nbytes):
    """The smallest ring whose halves each hold a frame of nbytes and 8 more bytes."""
    capacity = 4096
    while capacity // 2 < nbytes + 8:
        capacity *= 2
    return capacity


def summed_rate(n, count, warm, next_sum):
    """Consumer loop of the NumPy runs: `next_sum()` takes array k and returns its sum, which must
    be k * count (every element was filled with k); returns arrays per second after the first
    `warm` + 1, which pay for the caches and page faults."""
    start = None
    for k in range(n):
        total = next_sum()
        if total != k * count:
            raise RuntimeError(f"array {k}: sum {total}, expected {k * count}")
        if k == warm:
            start = time.perf_counter()
    return (n - 1 - warm) / (time.perf_counter() - start)


def numpy_halves(n, cpus, count, warm=0):
    """Loans in frames of exactly half the ring, each array 4 bytes into its payload."""
    import numpy as np

    capacity = half_ring(8 * count)
    with Ring(capacity) as ring:
        def produce():
            reserve = ring.open().reserve
            for k in range(n):
                with reserve(capacity // 2 - 4) as buf:
                    np.frombuffer(buf, np.float64, count=count, offset=4).fill(k)

        def consume():
            borrow = ring.open().borrow

            def next_sum():
                with borrow() as buf:
                    return np.frombuffer(buf, np.float64, count=count, offset=4).sum()
            return summed_rate(n, count, warm, next_sum)

        return two_processes(produce, consume, cpus=cpus, label="NumPy loans, halves")


def numpy_loans(n, cpus, count, aligned, capacity=NUMPY_CAPACITY, warm=0):
    import numpy as np

    size = numpy_message_size(8 * count)
    with Ring(capacity) as ring:
        def produce():
            target = ring.open()
            if aligned:
                target.put(b"")
            reserve = target.reserve
            for k in range(n):
                with reserve(size) as buf:
                    np.frombuffer(buf, np.float64, count=count).fill(k)

        def consume():
            source = ring.open()
            if aligned:
                source.get()
            borrow = source.borrow

            def next_sum():
                with borrow() as buf:
                    return np.frombuffer(buf, np.float64, count=count).sum()
            return summed_rate(n, count, warm, next_sum)

        return two_processes(produce, consume, cpus=cpus, label="NumPy loans")


def numpy_copying(n, cpus, count, warm=0):
    import numpy as np

    with Ring(half_ring(8 * count)) as ring:
        def produce():
            push, array = ring.open().push, np.empty(count)
            for k in range(n):
                array.fill(k)
                while not push(array):
                    pass

        def consume():
            pop = ring.open().pop

            def next_sum():
                while (message := pop()) is None:
                    pass
                return np.frombuffer(message, np.float64).sum()
            return summed_rate(n, count, warm, next_sum)

        return two_processes(produce, consume, cpus=cpus, label="NumPy copying")


def numpy_queue(n, cpus, count, slots, warm=0):
    import numpy as np

    queue = fork_context().Queue(maxsize=slots)

    def produce():
        for k in range(n):
            array = np.empty(count)
            array.fill(k)
            queue.put(array)

    def consume():
        return summed_rate(n, count, warm, lambda: queue.get().sum())

    try:
        return two_processes(produce, consume, cpus=cpus, label="NumPy mp.Queue")
    finally:
        queue.close()
        queue.join_thread()


def numpy_shared_memory(n, cpus, count, slots, warm=0):
    """What a user builds by hand: a block of slots, arrays filled in place, slot numbers sent
    over a Pipe, and sent back once read so the producer can reuse the slot."""
    import numpy as np

    nbytes = 8 * count
    block = shared_memory.SharedMemory(create=True, size=nbytes * slots)
    there_reader, there_writer = fork_context().Pipe(duplex=False)
    back_reader, back_writer = fork_context().Pipe(duplex=False)

    def produce():
        free = list(range(slots))
        for k in range(n):
            if not free:
                free.append(back_reader.recv())
            slot = free.pop()
            array = np.ndarray((count,), np.float64, buffer=block.buf, offset=slot * nbytes)
            array.fill(k)
            del array
            there_writer.send(slot)

    def consume():
        def next_sum():
            slot = there_reader.recv()
            array = np.ndarray((count,), np.float64, buffer=block.buf, offset=slot * nbytes)
            total = array.sum()
            del array
            back_writer.send(slot)
            return total
        return summed_rate(n, count, warm, next_sum)

    try:
        return two_processes(produce, consume, cpus=cpus, label="NumPy shared_memory")
    finally:
        for connection in (there_reader, there_writer, back_reader, back_writer):
            connection.close()
        block.close()
        block.unlink()


def run_numpy(settings, log):
    try:
        import numpy  # noqa: F401
    except ImportError:
        log("bulk: NumPy is not installed; its part is skipped")
        return None
    cpus = two_cpus() if settings.pin else None
    copy_label = "push(arr) + np.frombuffer(pop())"
    results = {}
    for nbytes in (MiB, 6_000_000):
        count = nbytes // 8
        slots = max(2, NUMPY_CAPACITY // (nbytes + 16) - 1)
        # The clock starts once a trip round the largest ring has passed, for every path alike:
        # the first trip touches fresh pages (page faults), later ones reuse them.
        warm = 4 * NUMPY_CAPACITY // nbytes + 1
        n = warm + max(100, (300 if settings.quick else 1500) * MiB // nbytes)
        plan = {
            "reserve/borrow (frames of half the ring)": lambda: numpy_halves(n, cpus, count, warm=warm),
            # Once per trip round the ring an array wraps and is staged (copied in and out).
            "reserve/borrow (stream, 32 MiB ring)": lambda: numpy_loans(n, cpus, count, True, warm=warm),
            "reserve/borrow (stream, unaligned)": lambda: numpy_loans(n, cpus, count, False, warm=warm),
            copy_label: lambda: numpy_copying(n, cpus, count, warm=warm),
            "mp.Queue (pickled arrays)": lambda: numpy_queue(max(10, n // 10), cpus, count, slots, warm=5),
            "shared_memory by hand + Pipe": lambda: numpy_shared_memory(n, cpus, count, slots, warm=warm),
        }
        runs = {name: [] for name in plan}
        for _ in range(settings.repeats):
            for name, measure in plan.items():
                runs[name].append(measure())
        ours = runs["reserve/borrow (frames of half the ring)"]
        results[nbytes] = {"arrays": n, "slots": slots, "arrays_per_s": {name: median(r) for name, r in runs.items()},
                           "ratios": {name: paired(ours, r) for name, r in runs.items() if r is not ours},
                           "runs": runs}
        log(f"bulk: NumPy {nbytes} B: {settings.repeats} x {len(plan)} runs")
    return {"copy_path": copy_label, "by_size": results}


# ------------------------------------------------------------------------------- size series

def loan_ring(n, cpus, size):
    with Ring() as ring:
        def produce():
            reserve, payload = ring.open().reserve, ring_suite.payload_of(size)
            for _ in range(n):
                with reserve(size) as buf:
                    buf[:] = payload

        def consume():
            borrow = ring.open().borrow
            with borrow():
                pass
            first = time.perf_counter()
            for _ in range(n - 1):
                with borrow():
                    pass
            return (n - 1) / (time.perf_counter() - first)

        return two_processes(produce, consume, cpus=cpus, label=f"loans {size} B")


def run_sizes(settings, log):
    cpus = two_cpus() if settings.pin else None
    sizes = (64, 4 * KiB, 256 * KiB, MiB) if settings.quick else (64, KiB, 16 * KiB, 256 * KiB, MiB, 4 * MiB)
    paths = {
        "push/pop (bytes)": lambda n, s: large_ring(n, cpus, s, "pop"),
        "push/pop_into (reused buffer)": lambda n, s: large_ring(n, cpus, s, "pop_into"),
        "reserve/borrow (zero copy)": lambda n, s: loan_ring(n, cpus, s),
        "C++ floor": lambda n, s: floor(s, n, cpus),
    }
    repeats = max(3, settings.repeats // 2)
    series = {name: {} for name in paths}
    for size in sizes:
        n = int(max(200, min(400_000, (64 * MiB if settings.quick else 256 * MiB) // (size + 64))))
        runs = {name: [] for name in paths}
        for _ in range(repeats):
            for name, measure in paths.items():
                runs[name].append(measure(n, size))
        for name, r in runs.items():
            rate = median(r)
            series[name][size] = {"msg_per_s": rate, "mb_per_s": rate * size / 1e6, "runs": r}
    log(f"bulk: sizes: {len(sizes)} sizes x {len(paths)} paths x {repeats} runs")
    return {"sizes": list(sizes), "series": series}


def run(settings, log):
    results = {"batches": run_batches(settings, log), "large": run_large(settings, log),
               "numpy": run_numpy(settings, log), "sizes": run_sizes(settings, log),
               "pinned_cpus": list(two_cpus()) if settings.pin and two_cpus() else None}
    return results
