"""Two processes exchanging data through kelparine.

A producer process streams typed records (sequence number, reading, flag, label) through a
lock-free ring to this process, and keeps a shared telemetry view up to date; this process
consumes the records, checks them, and reads the producer's telemetry from the view.

Both sides block instead of polling: put() waits while the ring is full and get_mixed() while
it is empty, asleep and without using a processor, and the other side's call wakes them.
The timeouts only guard against a peer that died.

    PYTHONPATH=build /usr/bin/python3 examples/demo.py [--messages N]
"""

import argparse
import multiprocessing as mp
import os
import time

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

RECORD = [("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)]
TELEMETRY = [("i64", 1), ("i64", 1), ("f64", 1)]  # records sent, last sequence number, seconds spent
PEER_TIMEOUT = 30.0  # seconds without progress before a side gives up on the other


def producer(ring_name, view_name, count):
    ring = kelparine.SpscRingBuffer.open(ring_name)
    view = kelparine.SharedMemory.open(view_name).map()
    start = time.perf_counter()
    for seq in range(count):
        ring.put([seq, seq * 0.5, seq % 2 == 0, f"sensor-{seq % 8}"], timeout=PEER_TIMEOUT)
        if seq % 1000 == 999 or seq == count - 1:
            view.write_mixed([seq + 1, seq, time.perf_counter() - start], 0)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=200_000)
    args = parser.parse_args()
    exit_on_sigterm()

    tag = f"{os.getpid()}"
    ring_name, view_name = f"/kelparine-demo-ring-{tag}", f"/kelparine-demo-view-{tag}"
    child = None
    try:
        ring = kelparine.SpscRingBuffer.create(ring_name, 64 * 1024)
        view = kelparine.SharedMemory.create(view_name, 4 + 4096).map()  # the creator initialises both
        print(f"ring: {ring!r}\nview: {view!r}", flush=True)

        child = mp.get_context("spawn").Process(target=producer, args=(ring_name, view_name, args.messages),
                                                name="producer")
        child.start()
        received, record, start = 0, None, time.perf_counter()
        while received < args.messages:
            record = ring.get_mixed(RECORD, timeout=PEER_TIMEOUT)
            seq, reading, flag, label = record
            assert seq == received and reading == seq * 0.5 and flag == (seq % 2 == 0), record
            assert label == f"sensor-{seq % 8}", record
            received += 1
        elapsed = time.perf_counter() - start
        join_or_fail([child], PEER_TIMEOUT)  # the telemetry is final once the producer has ended
        sent, last_seq, producer_seconds = view.read_mixed(TELEMETRY, 0)
        print(f"consumer: {received} records in order, last {record}")
        print(f"telemetry (written by pid {child.pid}): sent={sent} last_seq={last_seq} "
              f"producer_time={producer_seconds:.3f}s")
        print(f"throughput: {received / elapsed:,.0f} records/s through the ring")
    finally:
        stop_and_remove([child], [ring_name, view_name])


if __name__ == "__main__":
    main()
