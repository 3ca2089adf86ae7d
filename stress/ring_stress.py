"""Ring stress: one producer process and one consumer process pass many messages of random
sizes through rings of several capacities, and the consumer checks every one.

Both sides derive the same message stream from a seed: message `seq` uses entry seq % K of a
table of sizes and bodies. A message of n >= 12 bytes starts with its sequence number (u64)
and the CRC-32 of its body (u32); shorter ones hold the first n bytes of that header. So the
consumer detects a lost, repeated, reordered, truncated or corrupted message at once, with
sizes from 0 bytes to the largest payload the ring can hold, across many wrap-arounds.

    python3 stress/ring_stress.py --messages 5000000 --capacities 64,4096,1048576
"""

import argparse
import os
import random
import struct
import sys
import time
import zlib

import kelparine

from common import check_run, fail, parse_run_arguments, remove_quietly, run_pair, segment_name

TABLE = 4093  # entries in the size/body table (prime, so it does not line up with capacities)
HEADER = struct.Struct("<QI")
SEQ = struct.Struct("<Q")


def message_table(seed, capacity):
    """Sizes and bodies of the K table entries: mostly small, sometimes up to the largest."""
    largest = capacity - 4
    rng = random.Random(seed * 1_000_003 + capacity)
    sizes = []
    for j in range(TABLE):
        r = rng.random()
        if r < 0.80:
            size = rng.randint(0, min(48, largest))
        elif r < 0.998:
            size = rng.randint(0, min(1024, largest))
        else:
            size = rng.randint(0, largest)
        sizes.append(size)
    # Always include the edges: empty, the largest frame, one byte less, a bare header.
    for j, size in enumerate((0, largest, largest - 1, 12, 11, 1)):
        sizes[j * 7] = max(0, size)
    pool = rng.randbytes(max(sizes) + 4096)
    bodies, crcs = [], []
    for size in sizes:
        start = rng.randrange(4096)
        body = pool[start:start + max(0, size - HEADER.size)]
        bodies.append(body)
        crcs.append(zlib.crc32(body))
    return sizes, bodies, crcs


def producer(name, seed, capacity, messages, deadline, result):
    ring = kelparine.SharedMemory.open(name).spsc()
    sizes, bodies, crcs = message_table(seed, capacity)
    # Messages of 12 bytes or more are prebuilt; only their sequence number changes.
    frames = [bytearray(HEADER.pack(0, crcs[j]) + bodies[j]) if sizes[j] >= HEADER.size else None
              for j in range(TABLE)]
    push, pack_into, pack, yield_cpu = ring.push, SEQ.pack_into, HEADER.pack, os.sched_yield
    full = 0
    for seq in range(messages):
        j = seq % TABLE
        frame = frames[j]
        if frame is not None:
            pack_into(frame, 0, seq)
        else:
            frame = pack(seq, crcs[j])[:sizes[j]]
        while not push(frame):
            full += 1
            if full & 0x3F == 0:
                yield_cpu()  # both sides spin: let the other run when they share a core
            if full & 0xFFFF == 0 and time.monotonic() > deadline:
                result.send(("producer", "timed out", seq, full))
                return
    result.send(("producer", "ok", messages, full))


def consumer(name, seed, capacity, messages, deadline, result):
    ring = kelparine.SharedMemory.open(name).spsc()
    sizes, _, crcs = message_table(seed, capacity)
    pop, pack, crc32, yield_cpu = ring.pop, HEADER.pack, zlib.crc32, os.sched_yield
    empty = 0
    payload_bytes = 0
    seq = 0
    while seq < messages:
        payload = pop()
        if payload is None:
            empty += 1
            if empty & 0x3F == 0:
                yield_cpu()
            if empty & 0xFFFF == 0 and time.monotonic() > deadline:
                result.send(("consumer", f"timed out after {seq} messages", seq, empty, payload_bytes))
                return
            continue
        j = seq % TABLE
        size = sizes[j]
        header = pack(seq, crcs[j])
        if len(payload) != size:
            problem = f"message {seq}: {len(payload)} bytes, expected {size}"
        elif size <= HEADER.size:
            problem = None if payload == header[:size] else f"message {seq}: short payload differs"
        elif not payload.startswith(header):
            got = SEQ.unpack_from(payload)[0]
            problem = f"message {seq}: header names message {got} (lost or reordered)"
        elif crc32(memoryview(payload)[HEADER.size:]) != crcs[j]:
            problem = f"message {seq}: body checksum mismatch (corrupted)"
        else:
            problem = None
        if problem is not None:
            result.send(("consumer", problem, seq, empty, payload_bytes))
            return
        payload_bytes += size
        seq += 1
    result.send(("consumer", "ok", seq, empty, payload_bytes))


def run_one(capacity, messages, seed, timeout):
    name = segment_name(f"ring{capacity}")
    try:
        ring = kelparine.SharedMemory.create(name, 24 + capacity).spsc()
        deadline = time.monotonic() + timeout
        reports, elapsed = run_pair(consumer, producer, (name, seed, capacity, messages, deadline), timeout + 10)
        if set(reports) != {"producer", "consumer"}:
            fail(f"capacity {capacity}: a side ended without a report: {reports}")
        _, _, received, empty_polls, payload_bytes = reports["consumer"]
        full_polls = reports["producer"][3]
        check_run(f"capacity {capacity}", name, ring, capacity, messages, reports, received, payload_bytes)
        frame_bytes = payload_bytes + 4 * messages
        return {
            "capacity": capacity, "messages": messages, "bytes": payload_bytes,
            "wraps": frame_bytes // capacity, "full": full_polls, "empty": empty_polls,
            "seconds": elapsed,
        }
    finally:
        remove_quietly(name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timeout", type=float, default=120.0, help="seconds per capacity")
    args, seed, capacities, per_ring = parse_run_arguments(parser)
    print(f"ring: seed {seed}, {per_ring} messages per ring, one producer and one consumer process")
    print(f"  {'capacity':>9} {'messages':>9} {'MiB':>8} {'wraps':>8} {'full':>10} {'empty':>10} "
          f"{'seconds':>7} {'msg/s':>9}  lost/reordered/corrupted")
    total = 0
    for capacity in capacities:
        r = run_one(capacity, per_ring, seed, args.timeout)
        total += r["messages"]
        print(f"  {r['capacity']:>9} {r['messages']:>9} {r['bytes'] / 2**20:>8.1f} {r['wraps']:>8} "
              f"{r['full']:>10} {r['empty']:>10} {r['seconds']:>7.1f} {r['messages'] / r['seconds']:>9.0f}  0/0/0")
        sys.stdout.flush()
    print(f"ring: {total} messages checked, none lost, reordered or corrupted")


if __name__ == "__main__":
    main()
