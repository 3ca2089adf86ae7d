"""Waiting: what the blocking ring calls cost while idle, how fast they wake, and what they
leave to other threads, beside multiprocessing.Pipe and multiprocessing.Queue in the same run.

  idle       processor time of a process blocked for IDLE_SECONDS in get() on an empty ring,
             in put() on a full one, and in select() over 8 empty rings (resource.getrusage)
  wake-up    one-way latency: a producer process stamps CLOCK_MONOTONIC into a message and
             sends it after a random pause of 1-3 ms, so the consumer process is parked (past
             its spin) in get() / Pipe.recv_bytes() / Queue.get(); the consumer reads the
             clock as the call returns
  round trip ping-pong of 64 B between two processes: put/get over two rings, against a
             duplex Pipe's send_bytes/recv_bytes; back to back, so this is the hot path
  throughput 64 B messages, two processes: put/get against push/pop busy-polling
  threads    a second thread counting in pure Python while the main thread waits in get():
             idle (no message), and with a message every 200 us, each against its solo rate
  select     wake-up latency of a consumer parked in select() over 8 rings (the producer
             picks one at random) and over 1 ring, against get() on a single ring

Compared figures are measured back to back in each repeat (ours, then the peer), and the
ratios reported are the medians of the per-repeat ratios.
"""

import random
import resource
import struct
import threading
import time

import kelparine

from common import Rings, fork_context, median, paired, percentile, poll_fill, poll_rate, two_cpus, two_processes

IDLE_SECONDS = 2.0
STAMP = struct.Struct("<q")
CAPACITY = 1 << 20
MIN_PAUSE, MAX_PAUSE = 0.001, 0.003  # between wake-up samples: far past any spin
SELECT_RINGS = 8
THREAD_SECONDS = 0.5
BUSY_INTERVAL = 0.0002

def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


# ------------------------------------------------------------------------------------------ idle

def _idle_in_child(wait):
    """Runs wait() in a forked child; returns (processor seconds, wall seconds) of the wait."""
    receiver, sender = fork_context().Pipe(duplex=False)

    def main():
        cpu, wall = cpu_seconds(), time.perf_counter()
        wait()
        sender.send((cpu_seconds() - cpu, time.perf_counter() - wall))

    child = fork_context().Process(target=main)
    child.start()
    try:
        if not receiver.poll(IDLE_SECONDS + 30):
            raise RuntimeError("idle: the waiting child did not report")
        return receiver.recv()
    finally:
        child.join(5)
        if child.is_alive():
            child.kill()
            child.join()


def _expect_timeout(call):
    try:
        call()
    except TimeoutError:
        return
    raise RuntimeError("the wait ended early")


def run_idle():
    results = {}
    with Rings() as rings:
        ring = rings.open()
        results["get() on an empty ring"] = _idle_in_child(
            lambda: _expect_timeout(lambda: ring.get(timeout=IDLE_SECONDS)))
        while ring.push(bytes(60000)):
            pass
        results["put() on a full ring"] = _idle_in_child(
            lambda: _expect_timeout(lambda: ring.put(bytes(60000), timeout=IDLE_SECONDS)))
    with Rings(SELECT_RINGS, 4096) as rings:
        all_rings = rings.open_all()

        def select_idle():
            if kelparine.SpscRingBuffer.select(all_rings, timeout=IDLE_SECONDS):
                raise RuntimeError("select: a ring was not empty")

        results[f"select() over {SELECT_RINGS} empty rings"] = _idle_in_child(select_idle)
    return {what: {"cpu_s": cpu, "wall_s": wall, "core_fraction": cpu / wall} for what, (cpu, wall) in results.items()}


# -------------------------------------------------------------------------------------- wake-up

def _pauses(samples, seed):
    rng = random.Random(seed)
    return [rng.uniform(MIN_PAUSE, MAX_PAUSE) for _ in range(samples)]


def _send_stamps(send, samples, seed):
    for pause in _pauses(samples, seed):
        time.sleep(pause)
        send(STAMP.pack(now_ns()))


def _receive_stamps(receive, samples):
    latencies = []
    for _ in range(samples):
        message = receive()
        latencies.append(now_ns() - STAMP.unpack_from(message)[0])
    return sorted(latencies)


def latency_ring(samples, cpus, seed):
    with Rings() as rings:
        return two_processes(lambda: _send_stamps(rings.open().put, samples, seed),
                             lambda: _receive_stamps(rings.open().get, samples), cpus=cpus, label="wake-up ring")


def latency_pipe(samples, cpus, seed):
    reader, writer = fork_context().Pipe(duplex=False)
    try:
        return two_processes(lambda: _send_stamps(writer.send_bytes, samples, seed),
                             lambda: _receive_stamps(reader.recv_bytes, samples), cpus=cpus, label="wake-up Pipe")
    finally:
        reader.close()
        writer.close()


def latency_queue(samples, cpus, seed):
    queue = fork_context().Queue()
    try:
        return two_processes(lambda: _send_stamps(queue.put, samples, seed),
                             lambda: _receive_stamps(queue.get, samples), cpus=cpus, label="wake-up Queue")
    finally:
        queue.close()
        queue.join_thread()


def latency_select(samples, cpus, seed, count):
    """Producer puts into one of `count` rings at random; the consumer waits in select()."""
    with Rings(count, 4096) as rings:
        def produce():
            targets = rings.open_all()
            rng = random.Random(seed + 1)
            for pause in _pauses(samples, seed):
                time.sleep(pause)
                targets[rng.randrange(count)].put(STAMP.pack(now_ns()))

        def consume():
            sources = rings.open_all()
            select = kelparine.SpscRingBuffer.select
            latencies = []
            while len(latencies) < samples:
                ready = select(sources)
                stamp = now_ns()
                for ring in ready:
                    message = ring.pop()
                    latencies.append(stamp - STAMP.unpack_from(message)[0])
            return sorted(latencies)

        return two_processes(produce, consume, cpus=cpus, label=f"wake-up select over {count}")


def summary_us(runs):
    """{p50, p99} in microseconds: medians over the runs of each run's percentile."""
    return {"p50_us": median([percentile(r, 0.50) for r in runs]) / 1e3,
            "p99_us": median([percentile(r, 0.99) for r in runs]) / 1e3,
            "samples": sum(len(r) for r in runs)}


def compare_latencies(plan, settings, log, what):
    """plan: {name: function(samples, cpus, seed) -> sorted latencies}; runs interleaved."""
    samples = 150 if settings.quick else 600
    cpus = two_cpus() if settings.pin else None
    runs = {name: [] for name in plan}
    for repeat in range(settings.repeats):
        for name, measure in plan.items():
            runs[name].append(measure(samples, cpus, 1000 * repeat))
    log(f"wait: {what}: {settings.repeats} x {len(plan)} runs of {samples} samples")
    first = next(iter(plan))
    result = {name: summary_us(r) for name, r in runs.items()}
    for name in list(plan)[1:]:
        # name's p50 / ours: how many times faster we are (above 1) or slower (below 1).
        result[name]["p50_vs_first"] = paired([percentile(r, 0.5) for r in runs[name]],
                                              [percentile(r, 0.5) for r in runs[first]])
        result[name]["p99_vs_first"] = paired([percentile(r, 0.99) for r in runs[name]],
                                              [percentile(r, 0.99) for r in runs[first]])
    return result


# ----------------------------------------------------------------------------------- round trip

def _pinger(send, receive, rounds):
    payload = bytes(64)
    times = []
    for _ in range(rounds):
        start = time.perf_counter_ns()
        send(payload)
        receive()
        times.append(time.perf_counter_ns() - start)
    return sorted(times)


def _ponger(send, receive, rounds):
    for _ in range(rounds):
        send(receive())


def round_trip_rings(rounds, cpus):
    with Rings(2, 4096) as rings:
        return two_processes(lambda: _ponger(rings.open(1).put, rings.open(0).get, rounds),
                             lambda: _pinger(rings.open(0).put, rings.open(1).get, rounds), cpus=cpus,
                             label="round trip rings")


def round_trip_pipe(rounds, cpus):
    here, there = fork_context().Pipe(duplex=True)
    try:
        return two_processes(lambda: _ponger(there.send_bytes, there.recv_bytes, rounds),
                             lambda: _pinger(here.send_bytes, here.recv_bytes, rounds), cpus=cpus,
                             label="round trip Pipe")
    finally:
        here.close()
        there.close()


def run_round_trip(settings, log):
    rounds = 2000 if settings.quick else 10000
    cpus = two_cpus() if settings.pin else None
    runs = {"put/get over two rings": [], "mp.Pipe (duplex)": []}
    for _ in range(settings.repeats):
        runs["put/get over two rings"].append(round_trip_rings(rounds, cpus))
        runs["mp.Pipe (duplex)"].append(round_trip_pipe(rounds, cpus))
    log(f"wait: round trip: {settings.repeats} x 2 runs of {rounds} round trips")
    result = {name: summary_us(r) for name, r in runs.items()}
    result["ratio_p50"] = paired([percentile(r, 0.5) for r in runs["put/get over two rings"]],
                                 [percentile(r, 0.5) for r in runs["mp.Pipe (duplex)"]])
    return result


# ----------------------------------------------------------------------------------- throughput

def _rate_blocking(n, cpus):
    with Rings(1, 8 << 20) as rings:
        def produce():
            put, payload = rings.open().put, bytes(64)
            for _ in range(n):
                put(payload)

        def consume():
            get = rings.open().get
            get()
            first = time.perf_counter()
            for _ in range(n - 1):
                get()
            return (n - 1) / (time.perf_counter() - first)

        return two_processes(produce, consume, cpus=cpus, label="put/get 64 B")


def _rate_polling(n, cpus):
    with Rings(1, 8 << 20) as rings:
        return two_processes(lambda: poll_fill(rings.open().push, bytes(64), n),
                             lambda: poll_rate(rings.open().pop, n), cpus=cpus, label="push/pop 64 B")


def run_throughput(settings, log):
    cpus = two_cpus() if settings.pin else None
    pilot = _rate_polling(20000, cpus)
    n = int(max(20000, pilot * settings.ring_seconds))
    blocking, polling = [], []
    for _ in range(settings.repeats):
        blocking.append(_rate_blocking(n, cpus))
        polling.append(_rate_polling(n, cpus))
    log(f"wait: throughput: {settings.repeats} x 2 runs of {n} messages")
    return {"messages": n, "put/get msg/s": median(blocking), "push/pop msg/s": median(polling),
            "ratio": paired(blocking, polling), "runs": {"put/get": blocking, "push/pop": polling}}


# -------------------------------------------------------------------------------------- threads

def _count_for(seconds):
    """Pure-Python work: loop iterations per second over `seconds`."""
    count, end = 0, time.perf_counter() + seconds
    while True:
        for _ in range(1000):
            count += 1
        if time.perf_counter() >= end:
            return count / seconds


def _thread_rate(main_work):
    """The counting thread's rate while the main thread does main_work(), in a fresh process."""
    receiver, sender = fork_context().Pipe(duplex=False)

    def child():
        result = {}
        worker = threading.Thread(target=lambda: result.update(rate=_count_for(THREAD_SECONDS)))
        worker.start()
        main_work()
        worker.join()
        sender.send(result["rate"])

    process = fork_context().Process(target=child)
    process.start()
    try:
        if not receiver.poll(THREAD_SECONDS + 30):
            raise RuntimeError("threads: no result")
        return receiver.recv()
    finally:
        process.join(5)
        if process.is_alive():
            process.kill()
            process.join()


def run_threads(settings, log):
    results = {}
    with Rings() as rings:
        ring = rings.open()

        def idle_wait():
            _expect_timeout(lambda: ring.get(timeout=THREAD_SECONDS))

        solo, idle = [], []
        for _ in range(settings.repeats):
            solo.append(_thread_rate(lambda: None))  # main thread joins at once: the thread runs alone
            idle.append(_thread_rate(idle_wait))
        results["main thread in get(), no message"] = {"solo": median(solo), "beside": median(idle),
                                                       "ratio": paired(idle, solo)}

    # Busy: a producer process puts a message every BUSY_INTERVAL; the main thread gets them.
    with Rings() as rings:
        stop = fork_context().Event()

        def producer():
            put = rings.open().put
            while not stop.is_set():
                time.sleep(BUSY_INTERVAL)
                put(b"tick")

        def busy_wait():
            get, end = rings.open().get, time.perf_counter() + THREAD_SECONDS
            while time.perf_counter() < end:
                try:
                    get(timeout=0.01)
                except TimeoutError:
                    pass

        feeder = fork_context().Process(target=producer)
        feeder.start()
        try:
            solo, busy = [], []
            for _ in range(settings.repeats):
                solo.append(_thread_rate(lambda: None))
                busy.append(_thread_rate(busy_wait))
        finally:
            stop.set()
            feeder.join(5)
            if feeder.is_alive():
                feeder.kill()
        results[f"main thread in get(), a message every {BUSY_INTERVAL * 1e6:.0f} us"] = {
            "solo": median(solo), "beside": median(busy), "ratio": paired(busy, solo)}
    log(f"wait: threads: {settings.repeats} x 4 runs of {THREAD_SECONDS} s")
    return results


# ------------------------------------------------------------------------------------------- run

def run(settings, log):
    results = {}
    log("wait: idle cost")
    results["idle"] = run_idle()
    cpus = two_cpus() if settings.pin else None
    # Unpinned rows too: pinned, a side shares its one CPU with whatever else runs there, and
    # how fast it gets the CPU back after a wake-up then depends on how it waited.
    results["wake"] = compare_latencies({
        "kelparine put -> get": latency_ring, "mp.Pipe": latency_pipe, "mp.Queue": latency_queue,
        "kelparine, not pinned": lambda s, c, seed: latency_ring(s, None, seed),
        "mp.Pipe, not pinned": lambda s, c, seed: latency_pipe(s, None, seed),
    }, settings, log, "wake-up latency")
    results["round_trip"] = run_round_trip(settings, log)
    results["throughput"] = run_throughput(settings, log)
    results["threads"] = run_threads(settings, log)
    results["select"] = compare_latencies({
        "get() on 1 ring": latency_ring,
        "select() over 1 ring": lambda s, c, seed: latency_select(s, c, seed, 1),
        f"select() over {SELECT_RINGS} rings": lambda s, c, seed: latency_select(s, c, seed, SELECT_RINGS),
    }, settings, log, "select wake-up latency")
    results["pinned_cpus"] = list(cpus) if cpus else None
    return results
