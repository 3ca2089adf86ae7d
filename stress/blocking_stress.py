"""Blocking and bulk ring stress: a producer process and a consumer process that wait in the
ring's own calls, checked message by message.

  --mode park   both sides use put()/get(), now and then with a short timeout (an expiry must
                write or take nothing, and the call is simply made again), and both pause at
                random, so that one side or the other is parked on the futex all the time;
  --mode mixed  the producer mixes push/put/push_many/reserve and the consumer
                pop/pop_many/pop_into/borrow/get, at random, with the same random pauses.

The message stream is the one of ring_stress.py (sequence number and CRC-32 of the body in
every message of 12 bytes or more, sizes from 0 to the largest frame), so a lost, repeated,
reordered, truncated or corrupted message is caught at once. Every run has a time bound: a run
that has not ended by then is a hang, and fails. Parks are counted from the voluntary context
switches of each side, less the ones its own pauses account for.

    python3 stress/blocking_stress.py --mode park --messages 1000000 --capacities 64,4096,1048576
"""

import argparse
import random
import resource
import sys
import time
import zlib

import kelparine

from common import check_run, fail, parse_run_arguments, remove_quietly, run_pair, segment_name
from ring_stress import HEADER, SEQ, TABLE, message_table

PAUSE_CHANCE = 0.03  # per message, on each side
MAX_PAUSE = 0.0004  # seconds: longer than a waiter's spin, so the other side parks
TIMEOUT_CHANCE = 0.05  # park mode: calls made with a short timeout instead of None
SHORT_TIMEOUTS = (0.0, 0.00001, 0.0001, 0.001)

PRODUCER_OPS = ("push", "put", "push_many", "reserve")
CONSUMER_OPS = ("pop", "pop_many", "pop_into", "borrow", "get")


def voluntary_switches():
    return resource.getrusage(resource.RUSAGE_SELF).ru_nvcsw


class Frames:
    """The producer's messages: prebuilt, with the sequence number written in per message."""

    def __init__(self, seed, capacity):
        self.sizes, bodies, self.crcs = message_table(seed, capacity)
        self.frames = [bytearray(HEADER.pack(0, self.crcs[j]) + bodies[j]) if self.sizes[j] >= HEADER.size
                       else None for j in range(TABLE)]

    def get(self, seq):
        j = seq % TABLE
        frame = self.frames[j]
        if frame is None:
            return HEADER.pack(seq, self.crcs[j])[:self.sizes[j]]
        SEQ.pack_into(frame, 0, seq)
        return frame


class Checker:
    def __init__(self, seed, capacity):
        self.sizes, _, self.crcs = message_table(seed, capacity)
        self.seq = 0
        self.payload_bytes = 0

    def check(self, payload):
        """None if `payload` (bytes or a buffer) is the next message, else what is wrong."""
        seq = self.seq
        j = seq % TABLE
        size = self.sizes[j]
        header = HEADER.pack(seq, self.crcs[j])
        if len(payload) != size:
            return f"message {seq}: {len(payload)} bytes, expected {size}"
        if size <= HEADER.size:
            if bytes(payload) != header[:size]:
                return f"message {seq}: short payload differs"
        elif payload[:HEADER.size] != header:
            got = SEQ.unpack_from(payload)[0]
            return f"message {seq}: header names message {got} (lost or reordered)"
        elif zlib.crc32(payload[HEADER.size:]) != self.crcs[j]:
            return f"message {seq}: body checksum mismatch (corrupted)"
        self.seq += 1
        self.payload_bytes += size
        return None


def maybe_pause(rng):
    if rng.random() < PAUSE_CHANCE:
        time.sleep(rng.uniform(0, MAX_PAUSE))
        return 1
    return 0


def produce(name, seed, capacity, messages, mode, result):
    ring = kelparine.SharedMemory.open(name).spsc()
    frames = Frames(seed, capacity)
    rng = random.Random(seed ^ 0x5EED)
    counts = dict.fromkeys(PRODUCER_OPS + ("timeouts", "pauses"), 0)
    switches = voluntary_switches()
    seq = 0
    while seq < messages:
        counts["pauses"] += maybe_pause(rng)
        op = "put" if mode == "park" else rng.choice(PRODUCER_OPS)
        counts[op] += 1
        if op == "put":
            if mode == "park" and rng.random() < TIMEOUT_CHANCE:
                try:
                    ring.put(frames.get(seq), timeout=rng.choice(SHORT_TIMEOUTS))
                except TimeoutError:
                    counts["timeouts"] += 1
                    continue  # nothing was written: the same message again
            else:
                ring.put(frames.get(seq))
            seq += 1
        elif op == "push":
            if not ring.push(frames.get(seq)):
                ring.put(frames.get(seq))  # full: wait for room instead
            seq += 1
        elif op == "push_many":
            # Copies: an entry's prebuilt frame is rewritten for each message that uses it.
            batch = [bytes(frames.get(s)) for s in range(seq, min(messages, seq + rng.randint(1, 16)))]
            written = ring.push_many(batch)
            if written == 0:
                ring.put(batch[0])
                written = 1
            seq += written
        else:  # reserve
            frame = frames.get(seq)
            with ring.reserve(len(frame)) as buf:
                buf[:] = frame
            seq += 1
    counts["parks"] = max(0, voluntary_switches() - switches - counts["pauses"])
    result.send(("producer", "ok", counts))


def consume(name, seed, capacity, messages, mode, result):
    ring = kelparine.SharedMemory.open(name).spsc()
    checker = Checker(seed, capacity)
    rng = random.Random(seed ^ 0xC0FFEE)
    into = bytearray(capacity)
    counts = dict.fromkeys(CONSUMER_OPS + ("timeouts", "pauses"), 0)
    switches = voluntary_switches()
    problem = None
    while checker.seq < messages and problem is None:
        counts["pauses"] += maybe_pause(rng)
        op = "get" if mode == "park" else rng.choice(CONSUMER_OPS)
        counts[op] += 1
        if op == "get":
            if mode == "park" and rng.random() < TIMEOUT_CHANCE:
                try:
                    payload = ring.get(timeout=rng.choice(SHORT_TIMEOUTS))
                except TimeoutError:
                    counts["timeouts"] += 1
                    continue  # nothing was taken: wait again
            else:
                payload = ring.get()
            problem = checker.check(payload)
        elif op == "pop":
            payload = ring.pop()
            problem = checker.check(payload if payload is not None else ring.get())
        elif op == "pop_many":
            batch = ring.pop_many(min(messages - checker.seq, rng.randint(1, 16))) or [ring.get()]
            for payload in batch:
                problem = problem or checker.check(payload)
        elif op == "pop_into":
            length = ring.pop_into(into)
            if length is None:
                length = ring.get_into(into)
            with memoryview(into) as view:
                problem = checker.check(view[:length])
        else:  # borrow: checked in place, in the ring
            with ring.borrow() as buf:
                problem = checker.check(buf)
    counts["parks"] = max(0, voluntary_switches() - switches - counts["pauses"])
    if problem is not None:
        result.send(("consumer", problem, counts, checker.seq, checker.payload_bytes))
    else:
        result.send(("consumer", "ok", counts, checker.seq, checker.payload_bytes))


def run_one(mode, capacity, messages, seed, bound):
    name = segment_name(f"{mode}{capacity}")
    try:
        ring = kelparine.SharedMemory.create(name, 24 + capacity).spsc()
        reports, elapsed = run_pair(consume, produce, (name, seed, capacity, messages, mode), bound)
        if set(reports) != {"producer", "consumer"}:
            missing = {"producer", "consumer"} - set(reports)
            fail(f"{mode}, capacity {capacity}: hang: {', '.join(sorted(missing))} not done after {bound:.0f} s "
                 f"({ring.used()} bytes in the ring)")
        _, _, consumed, received, payload_bytes = reports["consumer"]
        produced = reports["producer"][2]
        check_run(f"{mode}, capacity {capacity}", name, ring, capacity, messages, reports, received, payload_bytes)
        return {"capacity": capacity, "messages": messages, "bytes": payload_bytes, "seconds": elapsed,
                "producer": produced, "consumer": consumed}
    finally:
        remove_quietly(name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--mode", choices=("park", "mixed"), required=True)
    parser.add_argument("--bound", type=float, default=300.0, help="seconds a run may take before it is a hang")
    args, seed, capacities, per_ring = parse_run_arguments(parser)
    ops = ("put", "get") if args.mode == "park" else PRODUCER_OPS + CONSUMER_OPS
    print(f"{args.mode}: seed {seed}, {per_ring} messages per ring, bound {args.bound:.0f} s per run; "
          f"pauses of up to {MAX_PAUSE * 1e6:.0f} us before {PAUSE_CHANCE:.0%} of the calls on each side")
    print(f"  {'capacity':>9} {'messages':>9} {'MiB':>7} {'seconds':>7} {'msg/s':>8} {'parks p/c':>13} "
          f"{'timeouts p/c':>13}  calls ({', '.join(ops)})  lost/reordered/corrupted")
    total = 0
    for capacity in capacities:
        r = run_one(args.mode, capacity, per_ring, seed, args.bound)
        total += r["messages"]
        p, c = r["producer"], r["consumer"]
        calls = " ".join(str(p.get(op, c.get(op))) for op in ops)
        print(f"  {r['capacity']:>9} {r['messages']:>9} {r['bytes'] / 2**20:>7.1f} {r['seconds']:>7.1f} "
              f"{r['messages'] / r['seconds']:>8.0f} {p['parks']:>6}/{c['parks']:<6} "
              f"{p['timeouts']:>6}/{c['timeouts']:<6}  {calls}  0/0/0")
        sys.stdout.flush()
    print(f"{args.mode}: {total} messages checked, none lost, reordered or corrupted, no run hung")


if __name__ == "__main__":
    main()
