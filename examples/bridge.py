"""Beyond one host: ring messages carried over ZeroMQ to a ring on another machine, and back.

Shared memory ends at the machine's edge. kelparine.bridge hands ring messages to an existing
network transport, ZeroMQ (Debian: python3-zmq), instead of inventing one. Between two hosts
it is a command on each:

    python -m kelparine.bridge recv tcp://*:5555 /in --create 1048576     # host B
    python -m kelparine.bridge send /out tcp://hostB:5555                  # host A

This demo runs the same pump (kelparine.bridge.send and .receive) in processes on 127.0.0.1:

    producer -> ring -> send ~~ recv -> ring -> echo -> ring -> send ~~ recv -> ring -> this process

and checks every message that comes back, then the end of the stream: the producer's exit
travels both links, through the echo, and this process's get() raises EOFError.

    PYTHONPATH=build /usr/bin/python3 examples/bridge.py [--messages N] [--capacity BYTES] ...
"""

import argparse
import asyncio
import multiprocessing as mp
import os
import random
import struct
import sys
import time

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

try:
    import zmq  # noqa: F401  (kelparine.bridge's transport)
    from kelparine import bridge
except ImportError:
    bridge = None

# ---------------------------------------------------------------------------------------------
# The demo: producer -> ring -> send ~~ receive -> ring -> echo -> ring -> send ~~ receive -> ring -> check

HEADER = struct.Struct("<Q")


def payload(seq, bodies):
    """Message `seq` of the demo: its number, then a body of varying size (0 to a few KiB)."""
    return HEADER.pack(seq) + bodies[seq % len(bodies)]


def demo_bodies():
    rng = random.Random(5)
    return [rng.randbytes(rng.choice((0, 1, 20, 100, 1000, 4000))) for _ in range(97)]


def exit_with_parent():
    """The demo's processes wait without time limits (as a real bridge would): this ends one
    whose parent is gone, however the parent ended, so that none is left waiting forever."""
    import threading

    parent = os.getppid()

    def watch():
        while os.getppid() == parent:
            time.sleep(0.5)
        os._exit(1)

    threading.Thread(target=watch, daemon=True).start()


def produce(name, messages):
    exit_with_parent()
    ring = kelparine.SpscRingBuffer.open(name)
    bodies = demo_bodies()
    for seq in range(messages):
        ring.put(payload(seq, bodies))  # waits while the bridge is held back by the far ring
    # Ending the process ends the stream: the bridges carry that to the echo, and back.


def echo(source_name, target_name, pause):
    """The far host's application: returns every message unchanged, slowly now and then, so that
    its ring fills and the back-pressure reaches the producer; ends with its input."""
    exit_with_parent()
    source = kelparine.SpscRingBuffer.open(source_name)
    target = kelparine.SpscRingBuffer.open(target_name)
    for seq, message in enumerate(source):  # get() until the producer across the link has gone
        target.put(message)
        if pause and seq % 64 == 63:
            time.sleep(pause)


def run_send(name, endpoint, batch, window, label):
    exit_with_parent()
    ring = kelparine.SpscRingBuffer.open(name)
    sent = asyncio.run(bridge.send(ring, endpoint, batch=batch, window=window))
    print(f"{label}: sent {sent} messages and the end of the stream", flush=True)


def run_receive(name, endpoint, window, label):
    exit_with_parent()
    ring = kelparine.SpscRingBuffer.open(name)
    written = asyncio.run(bridge.receive(endpoint, ring, window=window))
    print(f"{label}: wrote {written} messages into the ring", flush=True)
    # The process ends here, and its producer role with it: the ring's consumer sees the end.




def demo(args):
    stem = f"/kelparine-bridge-{os.getpid()}"
    names = {role: f"{stem}-{role}" for role in ("near-out", "far-in", "far-out", "near-in")}
    processes = []
    try:
        for name in names.values():
            kelparine.SpscRingBuffer.create(name, args.capacity)
        back = kelparine.SpscRingBuffer.open(names["near-in"])
        there, home = f"tcp://127.0.0.1:{bridge.free_port_pair()}", f"tcp://127.0.0.1:{bridge.free_port_pair()}"
        n, ctx = args.messages, mp.get_context("spawn")
        processes = [
            ctx.Process(target=run_receive, args=(names["far-in"], there, args.window, "there"),
                        name="receive there"),
            ctx.Process(target=run_receive, args=(names["near-in"], home, args.window, "back"),
                        name="receive back"),
            ctx.Process(target=echo, args=(names["far-in"], names["far-out"], args.pause), name="echo"),
            ctx.Process(target=run_send, args=(names["near-out"], there, args.batch, args.window, "there"),
                        name="send there"),
            ctx.Process(target=run_send, args=(names["far-out"], home, args.batch, args.window, "back"),
                        name="send back"),
            ctx.Process(target=produce, args=(names["near-out"], n), name="producer"),
        ]
        for process in processes:
            process.start()
        bodies, start, payload_bytes = demo_bodies(), None, 0
        for seq in range(n):
            message = back.get(timeout=args.timeout)
            start = start or time.perf_counter()  # from the first message back: start-up not counted
            assert message == payload(seq, bodies), f"message {seq} came back changed or out of order"
            payload_bytes += len(message)
        elapsed = time.perf_counter() - start
        try:
            back.get(timeout=args.timeout)
            raise SystemExit("a message came back that was never sent")
        except EOFError:
            pass  # the producer's end, across both links
        join_or_fail(processes, args.timeout)
        print(f"demo: {n} messages ({payload_bytes / 1e6:.1f} MB) went over ZeroMQ to the echo's ring and back, "
              f"every one unchanged and in order, then the end of the stream: "
              f"{(n - 1) / elapsed:,.0f} messages/s after the first; "
              f"rings of {args.capacity} bytes, credit window {args.window} batches of up to {args.batch}")
    finally:
        stop_and_remove(processes, names.values())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=20_000, help="messages to send there and back")
    parser.add_argument("--capacity", type=int, default=16384, help="data bytes per ring (a power of two)")
    parser.add_argument("--pause", type=float, default=0.001, help="the echo's pause every 64 messages")
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds to wait for a message")
    parser.add_argument("--batch", type=int, default=256, help="most ring messages in one network message")
    parser.add_argument("--window", type=int, default=8, help="batches in flight before the receiver's credit")
    args = parser.parse_args(argv)
    if bridge is None:
        print("bridge.py needs ZeroMQ (Debian: apt-get install python3-zmq)", file=sys.stderr)
        return 2
    exit_on_sigterm()
    demo(args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
