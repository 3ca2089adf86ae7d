"""Beyond one host: carrying ring messages over ZeroMQ to a ring on another machine, and back.

Shared memory ends at the machine's edge. This bridge hands messages to an existing network
transport, ZeroMQ (Debian: python3-zmq), instead of inventing one:

    host A: app --put--> ring --[send]--PUSH ~~~ tcp ~~~ PULL--[receive]--> ring --get--> app :host B
                                       PULL <~~ credits ~~ PUSH

  send     takes what is waiting in a local ring (pop_many: up to --batch messages at once)
           and sends it as one multipart ZeroMQ message, one part per ring message;
  receive  writes the parts into a ring on its host (push_many, then put for the rest while
           the ring is full), unchanged: the same bytes, in the same order.

Back-pressure crosses the network with credits. The receiving side grants --window batches at
the start and one more each time a batch is in its ring; the sending side sends only with a
credit in hand. When the far ring is full, its receive waits in put(), grants nothing, and the
sender stops taking from its own ring, which fills in turn, so the producer's put() waits:
nothing is dropped and nothing piles up in between (the sockets' high-water marks are bounded
by the window as well). Each credit also carries the count of messages written so far, so a
sender that stops waits until its last batch has landed. Data goes to PORT, credits come back
on PORT + 1.

    PYTHONPATH=build /usr/bin/python3 examples/bridge.py                                  # demo over 127.0.0.1, both ways
    PYTHONPATH=build /usr/bin/python3 examples/bridge.py receive --ring /in --create 1048576 --listen 0.0.0.0:5555   # host B
    PYTHONPATH=build /usr/bin/python3 examples/bridge.py send --ring /out --connect hostB:5555                        # host A

The demo runs a producer, a bridge to an echo process's ring, and a bridge back to this
process, all on 127.0.0.1, and checks every message that comes back.
"""

import argparse
import multiprocessing as mp
import os
import random
import struct
import sys
import time

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

try:
    import zmq
except ImportError:
    zmq = None

POLL_SECONDS = 0.1  # how often a waiting bridge looks up to see whether it should stop
LINGER_MS = 2_000  # how long a closing socket may take to deliver what it has queued
CONFIRM_SECONDS = 30.0  # how long a finishing sender waits for the far side to confirm the last batch
CREDIT = struct.Struct("<Q")  # a credit: the count of messages the receive side has written so far


def endpoints(address, listen):
    """('tcp://host:port', 'tcp://host:port+1') for the data and the credits."""
    host, _, port = address.rpartition(":")
    host = "*" if listen and host in ("", "0.0.0.0") else host
    return f"tcp://{host}:{int(port)}", f"tcp://{host}:{int(port) + 1}"


def socket(context, kind, hwm):
    sock = context.socket(kind)
    sock.setsockopt(zmq.SNDHWM, hwm)
    sock.setsockopt(zmq.RCVHWM, hwm)
    sock.setsockopt(zmq.LINGER, LINGER_MS)
    return sock


def send(ring, address, batch=256, window=8, count=None, report=print):
    """Forwards messages from `ring` to the receive side at `address` ('host:port') until
    `count` messages have gone and the far side has them (None: forever)."""
    context = zmq.Context()
    data = socket(context, zmq.PUSH, window)
    credits_in = socket(context, zmq.PULL, window)
    data_endpoint, credit_endpoint = endpoints(address, listen=False)
    data.connect(data_endpoint)
    credits_in.connect(credit_endpoint)
    credits = sent = batches = stalls = 0
    landed = 0  # messages the far side reports in its ring

    def take_credit(wait):
        nonlocal credits, landed
        if credits_in.poll(wait * 1000):
            (total,) = CREDIT.unpack(credits_in.recv())
            credits += 1
            landed = max(landed, total)
            return True
        return False

    try:
        while count is None or sent < count:
            while take_credit(0):  # take the credits that have come, without waiting
                pass
            if credits == 0:
                stalls += 1  # the far ring is full, or the far side is not there yet: wait for it
                take_credit(POLL_SECONDS)
                continue
            if not kelparine.SpscRingBuffer.select([ring], timeout=POLL_SECONDS):
                continue  # nothing to send
            # Whatever is waiting, up to a batch: a full batch under load, one message when idle.
            messages = ring.pop_many(batch if count is None else min(batch, count - sent))
            data.send_multipart(messages)
            credits -= 1
            sent += len(messages)
            batches += 1
        # Closing a socket may drop what it still queues (seen with the far side's queue full,
        # whatever the linger), so stay until the far side says it has it all.
        deadline = time.monotonic() + CONFIRM_SECONDS
        while landed < sent and time.monotonic() < deadline:
            take_credit(POLL_SECONDS)
        if landed < sent:
            report(f"send: the far side has not confirmed the last {sent - landed} messages")
    finally:
        data.close()
        credits_in.close(linger=0)
        context.term()
    report(f"send: {sent} messages in {batches} batches ({sent / max(batches, 1):.1f} per batch), "
           f"waited for credit {stalls} times")
    return sent


def write_all(ring, messages):
    """Writes every message, in order: as many as fit at once, then waits for room for the next."""
    done = ring.push_many(messages)
    while done < len(messages):
        ring.put(messages[done])  # the ring is full: wait for its consumer (Ctrl-C still works)
        done += 1
        if done < len(messages):
            done += ring.push_many(messages[done:])


def receive(ring, address, window=8, count=None, report=print):
    """Writes the messages that come to `address` ('host:port' to listen on) into `ring` until
    `count` messages have come (None: forever)."""
    context = zmq.Context()
    data = socket(context, zmq.PULL, window)
    credits_out = socket(context, zmq.PUSH, window)
    data_endpoint, credit_endpoint = endpoints(address, listen=True)
    data.bind(data_endpoint)
    credits_out.bind(credit_endpoint)
    received = 0
    try:
        for _ in range(window):
            credits_out.send(CREDIT.pack(0))  # the first credits: waits until a sender connects
        while count is None or received < count:
            if not data.poll(POLL_SECONDS * 1000):
                continue
            messages = data.recv_multipart()
            write_all(ring, messages)
            received += len(messages)
            # That batch is in the ring: the sender may send one more (and learns what landed).
            credits_out.send(CREDIT.pack(received))
    finally:
        data.close()
        credits_out.close()
        context.term()
    report(f"receive: {received} messages written to the ring")
    return received


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


def echo(source_name, target_name, messages, pause):
    """The far host's application: returns every message unchanged, slowly now and then, so that
    its ring fills and the back-pressure reaches the producer."""
    exit_with_parent()
    source = kelparine.SpscRingBuffer.open(source_name)
    target = kelparine.SpscRingBuffer.open(target_name)
    for seq in range(messages):
        target.put(source.get())
        if pause and seq % 64 == 63:
            time.sleep(pause)


def run_send(name, address, messages, batch, window, label):
    exit_with_parent()
    report = lambda text: print(f"{label}: {text}", flush=True)  # noqa: E731
    send(kelparine.SpscRingBuffer.open(name), address, batch, window, messages, report)


def run_receive(name, address, messages, window, label):
    exit_with_parent()
    report = lambda text: print(f"{label}: {text}", flush=True)  # noqa: E731
    receive(kelparine.SpscRingBuffer.open(name), address, window, messages, report)


def free_port_pair():
    """Two consecutive free TCP ports on 127.0.0.1 (data, credits)."""
    import socket as sockets

    for _ in range(100):
        with sockets.socket() as first, sockets.socket() as second:
            first.bind(("127.0.0.1", 0))
            port = first.getsockname()[1]
            try:
                second.bind(("127.0.0.1", port + 1))
            except OSError:
                continue
            return port
    raise RuntimeError("no two consecutive free ports")


def demo(args):
    stem = f"/kelparine-bridge-{os.getpid()}"
    names = {role: f"{stem}-{role}" for role in ("near-out", "far-in", "far-out", "near-in")}
    processes = []
    try:
        for name in names.values():
            kelparine.SpscRingBuffer.create(name, args.capacity)
        back = kelparine.SpscRingBuffer.open(names["near-in"])
        there, home = f"127.0.0.1:{free_port_pair()}", f"127.0.0.1:{free_port_pair()}"
        n, ctx = args.messages, mp.get_context("spawn")
        processes = [
            ctx.Process(target=run_receive, args=(names["far-in"], there, n, args.window, "there"),
                        name="receive there"),
            ctx.Process(target=run_receive, args=(names["near-in"], home, n, args.window, "back"),
                        name="receive back"),
            ctx.Process(target=echo, args=(names["far-in"], names["far-out"], n, args.pause), name="echo"),
            ctx.Process(target=run_send, args=(names["near-out"], there, n, args.batch, args.window, "there"),
                        name="send there"),
            ctx.Process(target=run_send, args=(names["far-out"], home, n, args.batch, args.window, "back"),
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
        join_or_fail(processes, args.timeout)
        print(f"demo: {n} messages ({payload_bytes / 1e6:.1f} MB) went over ZeroMQ to the echo's ring and back, "
              f"every one unchanged and in order: {(n - 1) / elapsed:,.0f} messages/s after the first; "
              f"rings of {args.capacity} bytes, credit window {args.window} batches of up to {args.batch}")
    finally:
        stop_and_remove(processes, names.values())


def attach(args):
    """The ring a bridge command works on: created (and removed at the end) with --create."""
    if args.create:
        return kelparine.SpscRingBuffer.create(args.ring, args.create), True
    return kelparine.SpscRingBuffer.open(args.ring), False


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--messages", type=int, default=20_000, help="demo: messages to send there and back")
    parser.add_argument("--capacity", type=int, default=16384, help="demo: data bytes per ring (a power of two)")
    parser.add_argument("--pause", type=float, default=0.001, help="demo: the echo's pause every 64 messages")
    parser.add_argument("--timeout", type=float, default=60.0, help="demo: seconds to wait for a message")
    parser.add_argument("--batch", type=int, default=256, help="most ring messages in one network message")
    parser.add_argument("--window", type=int, default=8, help="batches in flight before the receiver's credit")
    commands = parser.add_subparsers(dest="command", metavar="{send,receive}", help="run one side of a bridge")
    for command, where, what in (("send", "--connect", "the receive side's HOST:PORT"),
                                 ("receive", "--listen", "the ADDRESS:PORT to listen on (0.0.0.0:5555)")):
        sub = commands.add_parser(command, help=f"{command} ring messages")
        sub.add_argument("--ring", required=True, help="the ring's segment name")
        sub.add_argument(where, dest="address", required=True, help=f"{what}; credits use PORT + 1")
        sub.add_argument("--create", type=int, metavar="BYTES", help="create the ring with this data area")
        sub.add_argument("--count", type=int, help="stop after this many messages (default: never)")
        sub.add_argument("--batch", type=int, default=256)
        sub.add_argument("--window", type=int, default=8)
    args = parser.parse_args(argv)
    if zmq is None:
        print("bridge.py needs ZeroMQ (Debian: apt-get install python3-zmq)", file=sys.stderr)
        return 2
    exit_on_sigterm()
    if args.command is None:
        demo(args)
        return 0
    ring, created = attach(args)
    try:
        if args.command == "send":
            send(ring, args.address, args.batch, args.window, args.count)
        else:
            receive(ring, args.address, args.window, args.count)
    finally:
        if created:
            kelparine.SharedMemory.remove(args.ring)
    return 0


if __name__ == "__main__":
    sys.exit(main())
