"""Lifecycle churn: create, open, map, spsc, use, fail, remove and drop segments for many rounds,
and check that nothing accumulates: descriptors (/proc/self/fd), mappings (/proc/self/maps),
interpreter objects and memory blocks, resident memory, and files in /dev/shm.

Each round also walks the failure paths (bad names, missing segments, refused sizes and
capacities, oversized and undecodable messages), since a leak on an error path is the kind
that survives ordinary tests.

    python3 stress/churn.py --rounds 50000
"""

import argparse
import gc
import os
import sys
import time

import kelparine

from common import fail, mappings, open_fds, remove_quietly, rss_kib, segment_name

SM = kelparine.SharedMemory


def expect(exception, call, *args):
    try:
        call(*args)
    except exception:
        return
    fail(f"{call.__qualname__}{args!r} did not raise {exception.__name__}")


def one_round(prefix, round_number):
    view_name = f"{prefix}-v{round_number % 7}"
    ring_name = f"{prefix}-r{round_number % 5}"

    shm = SM.create(view_name, 4 + 1001 + 2 * (round_number % 32))  # size - 24 odd: no ring
    view = shm.map()
    view.write(round_number)
    view.write_mixed([1, [2.5, True], "churn"], 100)
    peer = SM.open(view_name).map()
    assert peer.read("int") == round_number
    assert peer.read_mixed([("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)], 100) == [1, 2.5, True, "churn"]
    scratch = bytearray(b"pinned only during the call")
    view.write(scratch, 500)
    expect(ValueError, view.write, scratch, view.size())
    scratch.extend(b"!")  # BufferError if an export of it had outlived the calls
    peer.zero()
    assert peer.read_range(0, 8) == bytes(8) and view.read_all() == bytes(view.size())
    repr(view), view.reader_count(), view.is_write_locked(), view.tell(), view.seek(3)

    ring_shm = SM.create(ring_name, 24 + 4096)
    ring = ring_shm.spsc()
    consumer = SM.open(ring_name).spsc()
    assert ring.push(b"x" * (round_number % 200)) and ring.push([7, "s"]) and ring.push(2.5)
    assert consumer.pop() == b"x" * (round_number % 200)
    assert consumer.pop_mixed([("int", 1), ("str", 1)]) == [7, "s"]
    assert consumer.pop("float") == 2.5 and consumer.pop() is None
    repr(ring), ring.used(), ring.free(), ring.capacity(), ring.is_empty(), ring.is_full()

    # Failure paths: each must release whatever it took.
    expect(ValueError, SM.create, "no-slash", 10)
    expect(ValueError, SM.create, view_name, 0)
    expect(OSError, SM.open, f"{prefix}-missing")
    expect(OSError, SM.open, "/a\0b")
    expect(OSError, SM.remove, f"{prefix}-missing")
    expect(ValueError, shm.spsc)                      # data area not a power of two
    expect(ValueError, SM.create(f"{prefix}-tiny", 4).map)
    expect(ValueError, ring.push, b"y" * 4093)         # can never fit
    expect(ValueError, ring.push, [1, None])
    expect(OverflowError, view.write, 1 << 64)
    expect(ValueError, view.write, b"z", view.size())
    expect(ValueError, view.read_mixed, [("str", 1)], view.size() - 2)
    ring.push(b"\x01")
    expect(ValueError, consumer.pop, "int")            # consumed, undecodable
    expect(ValueError, view.read, "bogus")

    SM.remove(view_name)
    SM.remove(ring_name)
    SM.remove(f"{prefix}-tiny")


def snapshot():
    gc.collect()
    figures = {
        "fds": open_fds(),
        "maps": mappings(),
        "objects": len(gc.get_objects()),
        "blocks": sys.getallocatedblocks(),
        "rss_kib": rss_kib(),
    }
    if hasattr(sys, "gettotalrefcount"):
        figures["refs"] = sys.gettotalrefcount()
    return figures


# What each figure may drift by between the warmed-up start and the end, with no leak.
TOLERANCE = {"fds": 0, "maps": 0, "objects": 50, "blocks": 200, "rss_kib": 2048, "refs": 100}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20_000)
    args = parser.parse_args()
    prefix = segment_name("churn")
    warmup = max(200, args.rounds // 20)
    checkpoints = 10
    started = time.perf_counter()
    try:
        for r in range(warmup):
            one_round(prefix, r)
        baseline = snapshot()
        worst = dict.fromkeys(baseline, 0)
        step = max(1, args.rounds // checkpoints)
        for r in range(args.rounds):
            one_round(prefix, warmup + r)
            if (r + 1) % step == 0:
                now = snapshot()
                for key in baseline:
                    worst[key] = max(worst[key], now[key] - baseline[key])
        final = snapshot()
    finally:
        for suffix in [f"v{i}" for i in range(7)] + [f"r{i}" for i in range(5)] + ["tiny"]:
            remove_quietly(f"{prefix}-{suffix}")
    elapsed = time.perf_counter() - started
    left = [f for f in os.listdir("/dev/shm") if ("/dev/shm/" + f).startswith("/dev/shm" + prefix)]
    figures = ", ".join(f"{key} {baseline[key]}->{final[key]} (max +{worst[key]})" for key in baseline)
    print(f"churn: {args.rounds} rounds in {elapsed:.1f} s: {figures}; {len(left)} files left in /dev/shm")
    grown = [key for key in baseline if worst[key] > TOLERANCE[key] or final[key] - baseline[key] > TOLERANCE[key]]
    if grown or left:
        fail(f"churn: grew: {grown}; left in /dev/shm: {left}")


if __name__ == "__main__":
    main()
