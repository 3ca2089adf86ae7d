"""Fan-in: one consumer, several producer processes, one ring each, and SpscRingBuffer.select.

Each producer owns the producing end of its own ring (a ring has exactly one producer and one
consumer), and sends readings at its own irregular pace: [producer id, sequence number,
value], then [id, -1, 0.0] to say it is done. This process holds the consuming ends of all
the rings and waits for any of them with select(): asleep while every ring is empty, woken
as soon as one producer puts a message. It then drains each ready ring with one
pop_many(schema=...) call (decoded in C, one look at the ring's counters), rather than taking
one message per select(), checks the order of each stream and prints a summary, including how
little processor time the waiting cost.

    PYTHONPATH=build /usr/bin/python3 examples/fan_in.py [--producers N] [--messages N] [--pause SECONDS]
"""

import argparse
import multiprocessing as mp
import os
import random
import resource
import sys
import time

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

READING = [("i64", 1), ("i64", 1), ("f64", 1)]  # producer id, seq, value
END = -1
# The most messages taken from one ready ring before looking at the others again: more than a
# ring holds, so each call drains what was there when it began, and a producer that keeps
# sending cannot starve the others.
BATCH = 1024
STALL_SECONDS = 20.0  # no message from any producer for this long: something died


def value_of(producer_id, seq):
    return producer_id * 1000.0 + seq * 0.25


def produce(name, producer_id, messages, pause):
    ring = kelparine.SpscRingBuffer.open(name)
    rng = random.Random(producer_id)
    for seq in range(messages):
        ring.put([producer_id, seq, value_of(producer_id, seq)], timeout=STALL_SECONDS)
        if pause and rng.random() < 0.05:  # now and then a quiet spell, different for each producer
            time.sleep(rng.uniform(0, 2 * pause))
    ring.put([producer_id, END, 0.0], timeout=STALL_SECONDS)


def cpu_seconds():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def consume(rings, messages):
    """Reads every ring to its end; returns (messages per producer, select calls)."""
    expected = [0] * len(rings)
    open_rings = list(rings)
    selects = 0
    while open_rings:
        ready = kelparine.SpscRingBuffer.select(open_rings, timeout=STALL_SECONDS)
        selects += 1
        if not ready:
            raise SystemExit(f"no message from any producer in {STALL_SECONDS:.0f} s")
        for ring in ready:
            for record in ring.pop_many(BATCH, schema=READING):
                producer_id, seq, value = record
                if seq == END:
                    open_rings.remove(ring)
                    break
                next_seq = expected[producer_id]
                assert seq == next_seq, f"producer {producer_id}: {seq} came, {next_seq} was next"
                assert value == value_of(producer_id, seq), record
                expected[producer_id] += 1
    assert expected == [messages] * len(rings), expected
    return expected, selects


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--producers", type=int, default=4)
    parser.add_argument("--messages", type=int, default=20_000, help="messages per producer")
    parser.add_argument("--pause", type=float, default=0.002,
                        help="mean length of a producer's occasional quiet spell, in seconds")
    parser.add_argument("--capacity", type=int, default=4096, help="data bytes per ring (a power of two)")
    args = parser.parse_args(argv)
    exit_on_sigterm()

    names = [f"/kelparine-fanin-{os.getpid()}-{i}" for i in range(args.producers)]
    producers = []
    try:
        rings = [kelparine.SpscRingBuffer.create(name, args.capacity) for name in names]
        ctx = mp.get_context("spawn")
        producers = [ctx.Process(target=produce, args=(name, i, args.messages, args.pause), name=f"producer-{i}")
                     for i, name in enumerate(names)]
        for process in producers:
            process.start()
        cpu_before, start = cpu_seconds(), time.perf_counter()
        counts, selects = consume(rings, args.messages)
        elapsed, cpu = time.perf_counter() - start, cpu_seconds() - cpu_before
        join_or_fail(producers, STALL_SECONDS)
        total = sum(counts)
        print(f"{total} messages from {args.producers} producers in {elapsed:.2f}s "
              f"({total / elapsed:,.0f} messages/s), each stream complete and in order")
        print(f"per producer: {counts}; {selects} select() calls, {total / selects:.1f} messages per call")
        print(f"consumer processor time: {cpu:.2f}s of {elapsed:.2f}s ({cpu / elapsed:.0%} of a core): "
              f"it sleeps while every ring is empty")
    finally:
        stop_and_remove(producers, names)
    return 0


if __name__ == "__main__":
    sys.exit(main())
