"""kelparine.Queue: many producers and many consumers against multiprocessing.Queue, the ring,
mp.Pool, and a producer killed inside a put.

  flows      P producer processes and C consumer processes, all forked from this one and
             released together by a barrier; each producer puts its share of N items, then C
             end marks (b"" or None); each consumer takes items until it has seen P marks
             (P * C marks in all: every consumer ends, and the last mark taken comes after
             every item). Rate = N / (the last take - the first take), over all consumers:
             the processes' start and the first wake-up are left out, as the ring's runs
             start their clocks at the first message.
               64 B bytes   1 -> 1, 4 -> 1, 4 -> 4: kelparine.Queue (8 MiB) against mp.Queue;
                            1 -> 1 also against SpscRingBuffer put/get (8 MiB ring) and
                            Queue.put_many/get_many of 64 items (the marks in one last call)
               objects      (int, float, str) tuples, 4 -> 4, against mp.Queue (both pickle)
             The peers of a shape run back to back in each repeat, in the same process
             layout; ratios are medians of the per-repeat ratios. 1 -> 1 runs are pinned to
             two CPUs like the ring's (unless --no-pin); the others are not.
  pool       examples/queue_pool.py: 1 dispatcher, 4 workers, 200 k jobs (50 k in a quick run;
             job i: is i prime?) on
             kelparine.Queue and on mp.Queue (the same code, another queue maker), and mp.Pool
             on the same function: imap_unordered(chunksize=1), one job per task as the
             queues carry them, and map() with its default chunks (batches of ~12,500 jobs).
             Wall time from the first process started to the last joined; forked workers.
  killed     a producer in another interpreter (spawned with KELPARINE_QUEUE_TEST_STALL_MS,
             so each of its puts sleeps after its claim and after its header) starts a put; a
             healthy producer then puts one item per consumer (queued behind the stalled
             record); this process stamps CLOCK_MONOTONIC and SIGKILLs the stalled producer,
             during its first or second sleep alternately; each of two consumers, blocked in
             get(), stamps the clock when its item arrives. Figure: kill -> the later stamp.

Standalone: PYTHONPATH=build python3 bench/queue_suite.py [--quick] [--no-pin] [--only PART ...].
"""

import os
import signal
import sys
import time
from pathlib import Path

from common import MiB, Rings, fork_context, median, paired, percentile, pin_to, two_cpus

ROOT = Path(__file__).resolve().parent.parent
CAPACITY = 8 * MiB
ITEM = bytes((i * 31 + 7) & 0xFF for i in range(64))
RECORD = (1234567, 0.25, "sym001234")
BATCH = 64
RUN_TIMEOUT = 120.0

QUEUE = "kelparine.Queue"
MANY = "Queue put_many/get_many(64)"
MPQ = "mp.Queue"
RING = "SpscRingBuffer put/get"
SHAPES = {  # name -> (producers, consumers, item, peers, pinned)
    "64 B, 1 -> 1": (1, 1, ITEM, (QUEUE, MANY, MPQ, RING), True),
    "64 B, 4 -> 1": (4, 1, ITEM, (QUEUE, MPQ), False),
    "64 B, 4 -> 4": (4, 4, ITEM, (QUEUE, MPQ), False),
    "(int, float, str), 4 -> 4": (4, 4, RECORD, (QUEUE, MPQ), False),
}

POOL_WORKERS = 4
POOL_JOBS = 200_000
QUICK_POOL_JOBS = 50_000
POOL_QUEUE, POOL_MPQ = "kelparine.Queue", "mp.Queue"
POOL_PER_JOB, POOL_CHUNKED = "mp.Pool imap_unordered(chunksize=1)", "mp.Pool map (default chunks)"

STALL_MS = 300                 # each stalled put sleeps this long, twice
KILL_AT_MS = (60, STALL_MS + 60)  # into the put: after the claim, after the header
CONSUMERS_AT_KILL = 2
TRIAL_BOUND = 30.0


def now_ns():
    return time.clock_gettime_ns(time.CLOCK_MONOTONIC)


# ------------------------------------------------------------------------------------------ flows

class Peer:
    """How the processes of a run reach one queue: make() in this process before the forks,
    side() in each child (the object with put/get), close() after the run."""

    def __init__(self, kind):
        import kelparine

        self.kind, self.rings = kind, None
        if kind in (QUEUE, MANY):
            self.queue = kelparine.Queue(capacity=CAPACITY)
        elif kind == MPQ:
            self.queue = fork_context().Queue()
        else:
            self.rings = Rings(1, CAPACITY, stem="queue")

    def side(self):
        return self.rings.open() if self.rings else self.queue

    def close(self):
        if self.rings:
            self.rings.__exit__(None, None, None)
        else:
            self.queue.close()
            self.queue.join_thread()


def _produce(side, kind, item, n, consumers):
    mark = b"" if isinstance(item, bytes) else None
    if kind == MANY:
        batch = [item] * BATCH
        for _ in range(n // BATCH):
            side.put_many(batch)
        if n % BATCH:
            side.put_many(batch[: n % BATCH])
        side.put_many([mark] * consumers)
        return
    put = side.put
    for _ in range(n):
        put(item)
    for _ in range(consumers):
        put(mark)


def _consume(side, kind, producers):
    """(items taken, clock after the first take, clock after the last)."""
    taken = marks = 0
    first = None
    if kind == MANY:
        get_many = side.get_many
        while marks < producers:
            for item in get_many(BATCH, timeout=TRIAL_BOUND):
                if item:
                    taken += 1
                else:
                    marks += 1
            first = first or time.perf_counter()
        return taken, first, time.perf_counter()
    get = side.get
    while marks < producers:
        if get():
            taken += 1
        else:
            marks += 1
        first = first or time.perf_counter()
    return taken, first, time.perf_counter()


def flow_rate(kind, producers, consumers, item, n, cpus=None):
    """Items per second of one run (see the module's docstring)."""
    ctx = fork_context()
    peer = Peer(kind)
    barrier = ctx.Barrier(producers + consumers + 1)
    pipes = [ctx.Pipe(duplex=False) for _ in range(consumers)]
    shares = [n // producers + (k < n % producers) for k in range(producers)]
    pin = cpus or (None, None)

    def producer_main(k):
        side = peer.side()
        pin_to(pin[0])
        barrier.wait()
        _produce(side, kind, item, shares[k], consumers)

    def consumer_main(k):
        side = peer.side()
        pin_to(pin[1])
        barrier.wait()
        pipes[k][1].send(_consume(side, kind, producers))

    processes = [ctx.Process(target=consumer_main, args=(k,)) for k in range(consumers)]
    processes += [ctx.Process(target=producer_main, args=(k,)) for k in range(producers)]
    try:
        for process in processes:
            process.start()
        barrier.wait(timeout=RUN_TIMEOUT)
        deadline = time.perf_counter() + RUN_TIMEOUT
        reports = []
        for receiver, _ in pipes:
            while not receiver.poll(0.05):
                if any(p.exitcode not in (None, 0) for p in processes) or time.perf_counter() > deadline:
                    raise RuntimeError(f"{kind} {producers} -> {consumers}: a process failed or hung "
                                       f"({[p.exitcode for p in processes]})")
            reports.append(receiver.recv())
        if sum(report[0] for report in reports) != n:
            raise RuntimeError(f"{kind} {producers} -> {consumers}: {sum(r[0] for r in reports)} of {n} items")
        for process in processes:
            process.join(RUN_TIMEOUT)
        return n / (max(last for _, _, last in reports) - min(first for _, first, _ in reports))
    finally:
        for process in processes:
            if process.is_alive():
                process.kill()
                process.join()
        for receiver, sender in pipes:
            receiver.close()
            sender.close()
        peer.close()


def run_flows(settings, log):
    cpus = two_cpus() if settings.pin else None
    seconds = 2 * settings.ring_seconds
    results = {}
    for shape, (producers, consumers, item, peers, pinned) in SHAPES.items():
        where = cpus if pinned else None
        # Each peer's count is sized from a pilot run to last about `seconds`.
        counts = {peer: int(max(50_000, flow_rate(peer, producers, consumers, item, 50_000, where) * seconds))
                  for peer in peers}
        runs = {peer: [] for peer in peers}
        for _ in range(settings.repeats):
            for peer in peers:
                runs[peer].append(flow_rate(peer, producers, consumers, item, counts[peer], where))
        ours = runs[QUEUE]
        ratios = {f"{QUEUE} / {peer}": paired(ours, runs[peer]) for peer in peers if peer not in (QUEUE, MANY)}
        if MANY in runs:
            ratios[f"{MANY} / {QUEUE}"] = paired(runs[MANY], ours)
        results[shape] = {"producers": producers, "consumers": consumers, "items": counts,
                          "pinned_cpus": list(where) if where else None,
                          "items_per_s": {peer: median(r) for peer, r in runs.items()},
                          "ratios": ratios, "runs": runs}
        log(f"queue: {shape}: {settings.repeats} x {len(peers)} runs")
    return results


# ------------------------------------------------------------------------------------------- pool

def _examples():
    path = str(ROOT / "examples")
    if path not in sys.path:
        sys.path.insert(0, path)
    import queue_pool

    return queue_pool


def pool_seconds(kind, jobs=POOL_JOBS, workers=POOL_WORKERS):
    """Wall seconds of one worker-pool run; every verdict is checked."""
    import kelparine

    queue_pool = _examples()
    ctx = fork_context()
    started = []
    start = time.perf_counter()
    try:
        if kind in (POOL_QUEUE, POOL_MPQ):
            make_queue = kelparine.Queue if kind == POOL_QUEUE else ctx.Queue
            verdicts = queue_pool.run_pool(make_queue, ctx, workers, jobs, started=started)
        else:
            with ctx.Pool(workers) as pool:
                if kind == POOL_PER_JOB:
                    verdicts = list(pool.imap_unordered(queue_pool.is_prime, range(jobs), chunksize=1))
                else:
                    verdicts = pool.map(queue_pool.is_prime, range(jobs))
        seconds = time.perf_counter() - start
    finally:
        for process in started:
            if process.is_alive():
                process.kill()
                process.join()
    if sum(verdicts) != queue_pool.count_primes_below(jobs):
        raise RuntimeError(f"worker pool on {kind}: wrong verdicts")
    return seconds


def run_pool(settings, log):
    kinds = (POOL_QUEUE, POOL_MPQ, POOL_PER_JOB, POOL_CHUNKED)
    # The per-job peers take seconds a run: a quick run makes fewer, smaller runs.
    repeats, jobs = (3, QUICK_POOL_JOBS) if settings.quick else (settings.repeats, POOL_JOBS)
    runs = {kind: [] for kind in kinds}
    for _ in range(repeats):
        for kind in kinds:
            runs[kind].append(pool_seconds(kind, jobs))
    log(f"queue: worker pool: {repeats} x {len(kinds)} runs of {jobs} jobs")
    ours = runs[POOL_QUEUE]
    return {"jobs": jobs, "workers": POOL_WORKERS, "repeats": repeats,
            "seconds": {kind: median(r) for kind, r in runs.items()},
            "speedups": {kind: paired(r, ours) for kind, r in runs.items() if r is not ours},
            "runs": runs}


# ----------------------------------------------------------------------------------------- killed

def _stalled_producer(q, ready):
    """Spawned with the stall hook set: reports, then starts a put that never commits."""
    ready.send("putting")
    q.put(b"stalled" * 8)
    ready.send("committed")  # the kill came too late


def kill_trial(kill_at_ms):
    """ns from SIGKILL of a producer inside its claim-to-commit window until both consumers,
    blocked in get(), have taken the item a healthy producer put after the stalled claim."""
    import kelparine

    forked, spawned = fork_context(), __import__("multiprocessing").get_context("spawn")
    q = kelparine.Queue(capacity=64 * 1024)
    ready_r, ready_w = spawned.Pipe(duplex=False)
    go_r, go_w = forked.Pipe(duplex=False)
    done_r, done_w = forked.Pipe(duplex=False)
    stamps_r, stamps_w = forked.Pipe(duplex=False)

    def healthy():
        go_r.recv()
        for k in range(CONSUMERS_AT_KILL):
            q.put(b"healthy" * 8)
        done_w.send("put")
        time.sleep(TRIAL_BOUND)  # a producer still present: the consumers wait, not EOFError

    def consumer():
        try:
            item = q.get(timeout=TRIAL_BOUND)
        except Exception as error:  # noqa: BLE001  (what it raised is the finding)
            stamps_w.send(f"get() raised {type(error).__name__}")
            return
        stamps_w.send(now_ns() if item.startswith(b"healthy") else f"got {item[:16]!r}")

    # The stall hook is read when the module loads: only the spawned interpreter has it.
    saved = os.environ.get("KELPARINE_QUEUE_TEST_STALL_MS")
    os.environ["KELPARINE_QUEUE_TEST_STALL_MS"] = str(STALL_MS)
    try:
        stalled = spawned.Process(target=_stalled_producer, args=(q, ready_w))
        stalled.start()
    finally:
        if saved is None:
            del os.environ["KELPARINE_QUEUE_TEST_STALL_MS"]
        else:
            os.environ["KELPARINE_QUEUE_TEST_STALL_MS"] = saved
    others = [forked.Process(target=healthy)] + [forked.Process(target=consumer) for _ in range(CONSUMERS_AT_KILL)]
    try:
        for process in others:
            process.start()
        if not ready_r.poll(TRIAL_BOUND) or ready_r.recv() != "putting":
            raise RuntimeError("killed producer: the stalled producer did not start")
        putting = time.monotonic()
        time.sleep(0.02)  # past the claim
        go_w.send("go")
        if not done_r.poll(TRIAL_BOUND):
            raise RuntimeError("killed producer: the healthy producer did not put")
        done_r.recv()
        if stamps_r.poll(0):  # the healthy items went ahead of the stalled claim: no trial
            return None
        time.sleep(max(0.0, putting + kill_at_ms / 1e3 - time.monotonic()))
        if ready_r.poll(0):
            raise RuntimeError("killed producer: the stalled put committed before the kill")
        stamp = now_ns()
        os.kill(stalled.pid, signal.SIGKILL)
        ends = []
        for _ in range(CONSUMERS_AT_KILL):
            if not stamps_r.poll(TRIAL_BOUND + 5):
                raise RuntimeError("killed producer: a consumer did not report")
            ends.append(stamps_r.recv())
        if any(isinstance(end, str) for end in ends):
            raise RuntimeError(f"killed producer: {ends}")
        return max(ends) - stamp
    finally:
        for process in [stalled, *others]:
            if process.is_alive():
                process.kill()
            process.join()
        for connection in (ready_r, ready_w, go_r, go_w, done_r, done_w, stamps_r, stamps_w):
            connection.close()
        q.close()


def run_killed(settings, log):
    trials = 12 if settings.quick else 60
    runs, missed = [], 0
    while len(runs) < trials:
        ns = kill_trial(KILL_AT_MS[len(runs) % 2])
        if ns is None:
            missed += 1
            if missed > trials:
                raise RuntimeError("killed producer: the stalled put rarely claims before the healthy ones")
        else:
            runs.append(ns)
    ordered = sorted(runs)
    log(f"queue: killed producer: {trials} trials")
    return {"trials": trials, "retried": missed, "stall_ms": STALL_MS, "kill_at_ms": list(KILL_AT_MS), "consumers": CONSUMERS_AT_KILL,
            "p50_ms": percentile(ordered, 0.5) / 1e6, "p99_ms": percentile(ordered, 0.99) / 1e6,
            "max_ms": ordered[-1] / 1e6, "runs_ns": runs}


# -------------------------------------------------------------------------------------------- run

PARTS = {"flows": run_flows, "pool": run_pool, "killed": run_killed}


def run(settings, log, parts=PARTS):
    return {part: PARTS[part](settings, log) for part in parts}


def _ratio(pair):
    def one(value):
        return f"{value:.2f}x" if value < 10 else f"{value:.1f}x"
    return f"{one(pair['median'])} ({one(pair['min'])}-{one(pair['max'])})"


def table(results, lines):
    """Lines for bench/run.py's table."""
    from common import fmt_si

    flows = results.get("flows")
    if flows:
        lines.append("Queue: P producer and C consumer processes, one queue, items/s from the first take to the last; "
                     "peers of a shape back to back; ratios: median of paired runs (range)")
        for shape, row in flows.items():
            pinned = row["pinned_cpus"]
            lines.append(f"  {shape}" + (f" (pinned to CPUs {pinned[0]} and {pinned[1]})" if pinned else ""))
            for peer, rate in row["items_per_s"].items():
                lines.append(f"    {peer:<34} {fmt_si(rate):>8} items/s")
            for name, ratio in row["ratios"].items():
                lines.append(f"    {name:<58} {_ratio(ratio)}")
    pool = results.get("pool")
    if pool:
        lines.append(f"Queue: worker pool, 1 dispatcher, {pool['workers']} workers, {fmt_si(pool['jobs'])} jobs "
                     f"(examples/queue_pool.py), forked; {pool['repeats']} runs back to back; "
                     f"speed-up: peer time / kelparine.Queue time")
        for kind, seconds in pool["seconds"].items():
            speedup = pool["speedups"].get(kind)
            lines.append(f"  {kind:<38} {seconds:>6.2f} s   {_ratio(speedup) if speedup else ''}")
    killed = results.get("killed")
    if killed:
        lines.append(f"Queue: SIGKILL of a producer inside its claim-to-commit window (stall hook, killed "
                     f"{killed['kill_at_ms'][0]} or {killed['kill_at_ms'][1]} ms into its put) until "
                     f"{killed['consumers']} blocked consumers have taken another producer's items; "
                     f"{killed['trials']} trials")
        lines.append(f"  p50 {killed['p50_ms']:.1f} ms   p99 {killed['p99_ms']:.1f} ms   max {killed['max_ms']:.1f} ms")


def targets(results):
    if not results:
        return []
    rows = []
    flows = results.get("flows") or {}
    for shape in ("64 B, 1 -> 1", "64 B, 4 -> 1", "64 B, 4 -> 4"):
        if shape in flows:
            ratio = flows[shape]["ratios"][f"{QUEUE} / {MPQ}"]["median"]
            rows.append((f"Queue {shape} >= 20x mp.Queue", f"{ratio:.2f}x", ratio >= 20))
    if "64 B, 1 -> 1" in flows:
        ratios = flows["64 B, 1 -> 1"]["ratios"]
        ratio = ratios[f"{QUEUE} / {RING}"]["median"]
        rows.append(("Queue 64 B, 1 -> 1 >= 0.5x the ring's put/get", f"{ratio:.2f}x", ratio >= 0.5))
        ratio = ratios[f"{MANY} / {QUEUE}"]["median"]
        rows.append(("Queue put_many/get_many(64) >= 3x single calls", f"{ratio:.2f}x", ratio >= 3))
    shape = "(int, float, str), 4 -> 4"
    if shape in flows:
        ratio = flows[shape]["ratios"][f"{QUEUE} / {MPQ}"]["median"]
        rows.append(("Queue objects 4 -> 4 >= 3x mp.Queue", f"{ratio:.2f}x", ratio >= 3))
    pool = results.get("pool")
    if pool:
        for kind in (POOL_PER_JOB, POOL_CHUNKED):
            ratio = pool["speedups"][kind]["median"]
            rows.append((f"worker pool faster than {kind}", f"{ratio:.2f}x", ratio > 1))
    killed = results.get("killed")
    if killed:
        rows.append(("killed producer: consumers go on, p99 <= 100 ms", f"{killed['p99_ms']:.1f} ms",
                     killed["p99_ms"] <= 100))
    return rows


if __name__ == "__main__":
    import argparse

    from common import Settings

    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--no-pin", action="store_true")
    parser.add_argument("--only", nargs="+", choices=tuple(PARTS), default=tuple(PARTS))
    args = parser.parse_args()
    settings = Settings.make(args.quick, pin=not args.no_pin)
    results = run(settings, lambda message: print(message, file=sys.stderr, flush=True), args.only)
    lines = []
    table(results, lines)
    lines += [f"  target {t}: {m} {'PASS' if p else 'MISS'}" for t, m, p in targets(results)]
    print("\n".join(lines))
