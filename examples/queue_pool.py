"""A pool of worker processes fed through two queues: one dispatcher, several workers.

The dispatcher puts jobs (job id, number) into `jobs`; each worker takes them one at a time,
checks whether the number is prime and puts (job id, verdict) into `results`. The dispatcher
keeps at most WINDOW jobs outstanding, taking results as it goes, so neither queue has to hold
the whole run; at the end it puts one None per worker, which ends each worker's loop.

The program is the same on multiprocessing.Queue, and --mp runs it so. The two versions differ
in one line, the one that makes the queues (plus `import kelparine`):

    make_queue = kelparine.Queue          # this module's default
    make_queue = ctx.Queue                # --mp: multiprocessing.Queue

kelparine.Queue() is anonymous (nothing in /dev/shm) and reaches the workers as their Process
arguments, under fork, spawn and forkserver alike. Its default 1 MiB holds some 20,000 of
these jobs, more than WINDOW.

    PYTHONPATH=build /usr/bin/python3 examples/queue_pool.py [--workers N] [--jobs N] [--mp]
                                                             [--start-method fork|spawn|forkserver]
"""

import argparse
import math
import multiprocessing as mp
import sys
import time

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

WINDOW = 10_000          # jobs put and not yet answered, at most
TIMEOUT_SECONDS = 60.0   # no result for this long: a worker died


def is_prime(n):
    if n < 2:
        return False
    if n % 2 == 0:
        return n == 2
    for d in range(3, math.isqrt(n) + 1, 2):
        if n % d == 0:
            return False
    return True


def worker(jobs, results):
    while (job := jobs.get()) is not None:
        job_id, n = job
        results.put((job_id, is_prime(n)))


def dispatch(jobs, results, count, workers):
    """Puts jobs 0..count-1 (job i checks the number i), keeping at most WINDOW outstanding,
    then one None per worker; returns the verdicts by job id."""
    verdicts = [None] * count
    sent = received = 0
    while received < count:
        while sent < count and sent - received < WINDOW:
            jobs.put((sent, sent))
            sent += 1
        job_id, verdict = results.get(timeout=TIMEOUT_SECONDS)
        verdicts[job_id] = verdict
        received += 1
    for _ in range(workers):
        jobs.put(None)
    return verdicts


def run_pool(make_queue, ctx, workers, count, started=None):
    """One run: starts the workers, dispatches `count` jobs, joins the workers; returns the
    verdicts. `started` (a list) receives the worker processes as soon as they exist, so that a
    caller can stop them whatever happens."""
    jobs, results = make_queue(), make_queue()
    pool = [ctx.Process(target=worker, args=(jobs, results), daemon=True) for _ in range(workers)]
    if started is not None:
        started.extend(pool)
    for process in pool:
        process.start()
    verdicts = dispatch(jobs, results, count, workers)
    join_or_fail(pool, TIMEOUT_SECONDS)
    for q in (jobs, results):
        q.close()
        q.join_thread()
    return verdicts


def count_primes_below(limit):
    """A sieve, to check the workers' verdicts."""
    sieve = bytearray([1]) * max(limit, 2)
    sieve[0:2] = b"\0\0"
    for p in range(2, math.isqrt(limit - 1) + 1 if limit > 1 else 0):
        if sieve[p]:
            sieve[p * p :: p] = bytes(len(range(p * p, limit, p)))
    return sum(sieve[:limit])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--jobs", type=int, default=200_000)
    parser.add_argument("--mp", action="store_true", help="run on multiprocessing.Queue instead")
    parser.add_argument("--start-method", default="spawn", choices=mp.get_all_start_methods())
    args = parser.parse_args(argv)
    exit_on_sigterm()

    ctx = mp.get_context(args.start_method)
    make_queue = ctx.Queue if args.mp else kelparine.Queue
    pool = []
    try:
        start = time.perf_counter()
        verdicts = run_pool(make_queue, ctx, args.workers, args.jobs, started=pool)
        seconds = time.perf_counter() - start
    finally:
        stop_and_remove(pool, [])
    primes = sum(verdicts)
    assert primes == count_primes_below(args.jobs), "the workers' verdicts do not add up"
    name = "multiprocessing.Queue" if args.mp else "kelparine.Queue"
    print(f"{args.jobs} jobs, {args.workers} workers, {name}: {primes} primes, {seconds:.2f} s "
          f"({args.jobs / seconds:,.0f} jobs/s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
