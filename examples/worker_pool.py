"""A pool of worker processes sharing one results table through a MappedView.

The table has one fixed-size slot per worker. Each worker counts the primes in its share of a
range and, every so often and at the end, writes its whole slot in one write_mixed() call at
the slot's offset. That write happens under the segment's exclusive lock, so the coordinator,
which polls the table with read_mixed(), always sees a complete record from each worker,
never half of one.

Slot layout (data offsets relative to the slot's start, little-endian):

    0   i64   worker id
    8   i64   numbers checked so far
    16  i64   primes found so far
    24  f64   seconds spent
    32  bool  finished
    33  str   status text (4-byte length + UTF-8, at most 27 bytes)

A slot nobody has written yet is all zeros, which reads as worker 0, nothing done, status "".

    PYTHONPATH=build /usr/bin/python3 examples/worker_pool.py [--workers N] [--limit N]
"""

import argparse
import math
import multiprocessing as mp
import os
import sys
import time

import kelparine
from _cleanup import exit_on_sigterm, stop_and_remove

SLOT_SIZE = 64
SLOT_SCHEMA = [("i64", 1), ("i64", 1), ("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)]
MAX_STATUS = SLOT_SIZE - 33 - 4
BLOCK = 2_000
TIMEOUT_SECONDS = 60.0


def is_prime(n):
    if n < 2:
        return False
    if n % 2 == 0:
        return n == 2
    for d in range(3, math.isqrt(n) + 1, 2):
        if n % d == 0:
            return False
    return True


def count_primes_below(limit):
    """A sieve, to check the workers' sum."""
    sieve = bytearray([1]) * max(limit, 2)
    sieve[0:2] = b"\0\0"
    for p in range(2, math.isqrt(limit - 1) + 1 if limit > 1 else 0):
        if sieve[p]:
            sieve[p * p :: p] = bytes(len(range(p * p, limit, p)))
    return sum(sieve[:limit])


def write_slot(view, worker, checked, primes, seconds, finished, status):
    status = status.encode()[:MAX_STATUS].decode(errors="ignore")
    # One call, one exclusive hold: readers see either the old record or this one.
    view.write_mixed([worker, checked, primes, seconds, finished, status], offset=worker * SLOT_SIZE)


def worker(table_name, worker_id, workers, limit):
    view = kelparine.SharedMemory.open(table_name).map()
    start = time.perf_counter()
    checked = primes = 0
    # Blocks dealt round-robin: every worker gets small and large numbers alike.
    for block in range(worker_id * BLOCK, limit, workers * BLOCK):
        for n in range(block, min(block + BLOCK, limit)):
            primes += is_prime(n)
        checked += min(block + BLOCK, limit) - block
        write_slot(view, worker_id, checked, primes, time.perf_counter() - start, False, f"at {block}")
    write_slot(view, worker_id, checked, primes, time.perf_counter() - start, True, "done")


def read_table(view, workers):
    return [view.read_mixed(SLOT_SCHEMA, offset=w * SLOT_SIZE) for w in range(workers)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=4)
    parser.add_argument("--limit", type=int, default=300_000, help="count the primes below this number")
    args = parser.parse_args(argv)
    exit_on_sigterm()

    table_name = f"/kelparine-pool-{os.getpid()}"
    pool = []
    try:
        view = kelparine.SharedMemory.create(table_name, 4 + args.workers * SLOT_SIZE).map()
        view.zero()  # a reused segment may hold an old table
        ctx = mp.get_context("spawn")
        pool = [ctx.Process(target=worker, args=(table_name, w, args.workers, args.limit))
                for w in range(args.workers)]
        for process in pool:
            process.start()
        deadline = time.monotonic() + TIMEOUT_SECONDS
        while True:
            table = read_table(view, args.workers)
            if all(finished for *_, finished, _status in table):
                break
            if time.monotonic() > deadline or any(p.exitcode not in (None, 0) for p in pool):
                raise SystemExit(f"workers did not finish: {table}")
            if sys.stdout.isatty():
                done = sum(checked for _, checked, *_ in table)
                print(f"progress: {done}/{args.limit} numbers checked", end="\r", flush=True)
            time.sleep(0.05)
        for process in pool:
            process.join()

        if sys.stdout.isatty():
            print()
        for worker_id, checked, primes, seconds, _finished, status in table:
            print(f"worker {worker_id}: {checked} numbers, {primes} primes, {seconds:.2f}s, {status}")
        total = sum(primes for _, _, primes, *_ in table)
        assert sum(checked for _, checked, *_ in table) == args.limit
        assert total == count_primes_below(args.limit), "the workers' counts do not add up"
        print(f"{total} primes below {args.limit}")
    finally:
        stop_and_remove(pool, [table_name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
