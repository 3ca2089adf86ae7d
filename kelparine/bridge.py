"""Ring messages beyond one host: a pump between a local ring and a ring on another machine,
over ZeroMQ (pyzmq's asyncio sockets; Debian: python3-zmq).

    host A: producer --ring--> send  ==== tcp://B:PORT ===>  recv --ring--> consumer :host B
                                     <=== tcp://B:PORT+1 ===  (credits)

    python -m kelparine.bridge recv tcp://*:5555 /in --create 1048576      # on host B
    python -m kelparine.bridge send /out tcp://hostB:5555                   # on host A

`send` takes what is waiting in its ring, up to --batch messages at once, and sends it as one
multipart ZeroMQ message, one part per ring message; `recv` writes the parts into its ring
unchanged, in order. Back-pressure crosses the link with credits: recv grants --window
batches when a sender says hello and one more each time a batch is in its ring, and send
takes from its ring only with a credit in hand. A full far ring therefore stops the near
producer's put(), and at most a window of batches is ever between the two rings.

Each credit carries the count of messages written so far, so send knows what has landed.
When the near ring's producer is gone (its get would raise EOFError), send tells recv, waits
until recv confirms that everything and the end have landed, and exits 0; recv then leaves
its ring's producer role and exits 0, so the far consumer drains the ring and gets EOFError.
SIGTERM and Ctrl-C stop either command cleanly (status 143 and 130): a stopped send first
gives what it has sent a short while to land.

One sender per recv at a time. Data goes to PORT, credits to PORT + 1 (--credits ENDPOINT for
other transports). The same pump runs inside a program as `await send(...)` and
`await receive(...)`.
"""

import argparse
import asyncio
import logging
import signal
import struct
import sys

import kelparine

try:
    import zmq
    import zmq.asyncio
except ImportError:  # reported by the command; the functions need it
    zmq = None

__all__ = ["send", "receive", "credit_endpoint", "free_port_pair", "main"]

BATCH = 256            # most ring messages in one ZeroMQ message
WINDOW = 8             # batches in flight before the receiving side grants more
CONFIRM_SECONDS = 30.0  # how long a sender at end of file waits for the far side to confirm
LINGER_SECONDS = 2.0   # how long a stopped side gives what it sent to arrive
RING_HEADER = 24       # bytes of a ring segment before its data area (docs/layouts.md)

# The first part of every data message says what it is:
HELLO = b"H"  # [HELLO, <I the sender's window]: a sender starts; recv grants credits
DATA = b"D"   # [DATA, message, ...]: one part per ring message, in ring order
END = b"E"    # [END]: the near ring's producer is gone, after everything before this
WINDOW_FIELD = struct.Struct("<I")
# A credit: (messages written into the far ring since the HELLO, END has landed).
CREDIT = struct.Struct("<Q?")

log = logging.getLogger(__name__)


def credit_endpoint(endpoint):
    """The credit endpoint beside a data endpoint: 'tcp://HOST:PORT' -> 'tcp://HOST:PORT+1'."""
    scheme, sep, rest = endpoint.partition("://")
    host, colon, port = rest.rpartition(":")
    if scheme != "tcp" or not sep or not colon or not port.isdigit():
        raise ValueError(f"no credit endpoint follows from {endpoint!r}: give one (credits=...)")
    return f"tcp://{host}:{int(port) + 1}"


def free_port_pair(host="127.0.0.1"):
    """A port P on `host` such that P and P + 1 are both free now: for a receive side's data
    and credit endpoints (tcp://host:P)."""
    import socket

    for _ in range(100):
        with socket.socket() as first, socket.socket() as second:
            first.bind((host, 0))
            port = first.getsockname()[1]
            try:
                second.bind((host, port + 1))
            except OSError:
                continue
            return port
    raise RuntimeError("no two consecutive free ports")


def _needs_zmq():
    if zmq is None:
        raise ImportError("kelparine.bridge needs pyzmq (Debian: apt-get install python3-zmq)")


def _check(batch, window):
    if batch < 1 or window < 1:
        raise ValueError(f"batch and window must be at least 1, not {batch} and {window}")


def _socket(context, kind, window, linger_ms):
    sock = context.socket(kind)
    # The credits keep at most `window` batches (and a HELLO and an END) queued: high-water
    # marks above that never stop a send, and bound the queues should a peer misbehave.
    sock.setsockopt(zmq.SNDHWM, window + 2)
    sock.setsockopt(zmq.RCVHWM, window + 2)
    sock.setsockopt(zmq.LINGER, linger_ms)
    return sock


class _Credits:
    """What the sending side knows of the receiving side: credits in hand, messages landed,
    whether the end has landed. Fed by one task reading the credit socket; one waiter."""

    def __init__(self, sock):
        self.sock = sock
        self.available = 0
        self.landed = 0
        self.ended = False
        self.error = None
        self._changed = asyncio.Event()

    async def read(self):
        try:
            while True:
                frame = await self.sock.recv()
                if len(frame) != CREDIT.size:
                    raise ConnectionError(f"the far side sent a credit of {len(frame)} bytes")
                landed, ended = CREDIT.unpack(frame)
                if ended:
                    self.ended = True
                else:
                    self.available += 1
                self.landed = max(self.landed, landed)
                self._changed.set()
        except Exception as error:  # handed to the waiter, which raises it
            self.error = error
            self._changed.set()

    async def until(self, predicate):
        while not predicate():
            if self.error is not None:
                raise self.error
            self._changed.clear()
            await self._changed.wait()


async def send(ring, endpoint, *, batch=BATCH, window=WINDOW, credits=None,
               confirm=CONFIRM_SECONDS, linger=LINGER_SECONDS):
    """Forwards the messages of `ring` to the receiving side at `endpoint` (it connects:
    'tcp://HOST:PORT'; credits come from `credits`, by default PORT + 1) until the ring's
    producer is gone, then reports the end and returns the number of messages sent once
    the far side confirms that all of them and the end have landed (TimeoutError after
    `confirm` seconds without that).

    Takes up to `batch` waiting messages at once, and only with a credit in hand. Claims the
    ring's consumer role. Cancelled, it stops taking messages and waits up to `linger`
    seconds for those it sent to be confirmed before it closes its sockets.
    """
    _needs_zmq()
    _check(batch, window)
    credits = credits or credit_endpoint(endpoint)
    ring.claim_role("consumer")
    context = zmq.asyncio.Context()
    data = _socket(context, zmq.PUSH, window, 0)
    inbox = _socket(context, zmq.PULL, window, 0)
    grants = _Credits(inbox)
    reader = None
    sent = 0
    try:
        data.connect(endpoint)
        inbox.connect(credits)
        reader = asyncio.ensure_future(grants.read())
        try:
            await data.send_multipart([HELLO, WINDOW_FIELD.pack(window)])
            while True:
                await grants.until(lambda: grants.available > 0)
                try:
                    # One awaited message, then those already behind it; a cancel while
                    # waiting has taken nothing from the ring.
                    first = await ring.aget()
                except EOFError:
                    break
                messages = [first, *ring.pop_many(batch - 1)] if batch > 1 else [first]
                grants.available -= 1
                # Goes at once: the credits keep the queue below the high-water mark.
                await data.send_multipart([DATA, *messages])
                sent += len(messages)
            await data.send_multipart([END])
            try:
                await asyncio.wait_for(grants.until(lambda: grants.ended), confirm)
            except asyncio.TimeoutError:
                raise TimeoutError(f"the far side has not confirmed the end within {confirm} s: "
                                   f"{sent - grants.landed} of {sent} messages unconfirmed") from None
        except asyncio.CancelledError:
            try:
                await asyncio.wait_for(grants.until(lambda: grants.landed >= sent), linger)
            except (asyncio.TimeoutError, ConnectionError):
                log.warning("stopped with %d sent messages unconfirmed", sent - grants.landed)
            raise
    finally:
        if reader is not None:
            reader.cancel()
            await asyncio.gather(reader, return_exceptions=True)
        data.close()
        inbox.close()
        context.term()
    return sent


async def _write_all(ring, messages):
    """Writes every message into `ring`, in order: as many as fit at once, then each as room
    comes. A consumer that goes away is waited for: the next one takes over."""
    done = ring.push_many(messages)
    while done < len(messages):
        try:
            await ring.aput(messages[done])
        except BrokenPipeError:
            log.warning("the ring's consumer is gone: waiting for another")
            await asyncio.sleep(0.05)
            continue
        done += 1
        if done < len(messages):
            done += ring.push_many(messages[done:])


async def receive(endpoint, ring, *, window=WINDOW, credits=None, linger=LINGER_SECONDS):
    """Writes the messages that come to `endpoint` (it binds: 'tcp://*:PORT'; credits go out
    on `credits`, by default PORT + 1) into `ring`, unchanged and in order, until the sender
    reports the end of its ring; returns the number of messages written.

    Grants a sender min(its window, `window`) batches when it says hello and one more per
    batch written. Claims the ring's producer role: once this returns, closing the ring (or
    ending the process) lets the ring's consumer see the end of the stream too. The last
    credit gets up to `linger` seconds to reach the sender.
    """
    _needs_zmq()
    _check(1, window)
    credits = credits or credit_endpoint(endpoint)
    ring.claim_role("producer")
    context = zmq.asyncio.Context()
    data = _socket(context, zmq.PULL, window, 0)
    grants = _socket(context, zmq.PUSH, window, int(linger * 1000))
    total = written = 0
    try:
        data.bind(endpoint)
        grants.bind(credits)
        while True:
            kind, *messages = await data.recv_multipart()
            if kind == DATA:
                await _write_all(ring, messages)
                written += len(messages)
                total += len(messages)
                await grants.send(CREDIT.pack(written, False))  # that batch is in the ring
            elif kind == HELLO and len(messages) == 1 and len(messages[0]) == WINDOW_FIELD.size:
                (theirs,) = WINDOW_FIELD.unpack(messages[0])
                # Batches of a sender that stopped may still be queued beside the HELLO (the
                # queue is fair between connections, not ordered): they were sent first, so
                # they are written before any credit lets the new sender send, and earn none.
                while await data.poll(0, zmq.POLLIN):
                    queued, *old = await data.recv_multipart()
                    if queued == DATA:
                        await _write_all(ring, old)
                        total += len(old)
                    elif queued == HELLO and len(old) == 1 and len(old[0]) == WINDOW_FIELD.size:
                        (theirs,) = WINDOW_FIELD.unpack(old[0])
                written = 0
                for _ in range(max(1, min(window, theirs))):
                    await grants.send(CREDIT.pack(0, False))
            elif kind == END:
                await grants.send(CREDIT.pack(written, True))
                return total
            else:
                raise ConnectionError(f"the far side sent a message of unknown kind {kind[:16]!r}")
    except BaseException:
        grants.setsockopt(zmq.LINGER, 0)  # stopped: nobody waits for what is queued
        raise
    finally:
        data.close()
        grants.close()
        context.term()


# ---------------------------------------------------------------------------------------------
# The command

def _parser():
    parser = argparse.ArgumentParser(prog="python -m kelparine.bridge",
                                     description="Carries ring messages to a ring on another host over ZeroMQ.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="{send,recv}")
    send_cmd = commands.add_parser("send", help="forward a ring's messages to a recv side")
    send_cmd.add_argument("ring", help="segment name of the ring to take from (this side consumes it)")
    send_cmd.add_argument("endpoint", help="the recv side, e.g. tcp://hostB:5555")
    send_cmd.add_argument("--batch", type=int, default=BATCH, help=f"most messages per network message ({BATCH})")
    send_cmd.add_argument("--confirm", type=float, default=CONFIRM_SECONDS,
                          help=f"seconds to wait at the end for the far side's confirmation ({CONFIRM_SECONDS:g})")
    recv_cmd = commands.add_parser("recv", help="write the messages that come into a ring")
    recv_cmd.add_argument("endpoint", help="where to listen, e.g. tcp://*:5555")
    recv_cmd.add_argument("ring", help="segment name of the ring to write to (this side produces it)")
    recv_cmd.add_argument("--create", type=int, metavar="SIZE",
                          help="create the ring with SIZE data bytes (a power of two) and remove it at the end")
    for sub in (send_cmd, recv_cmd):
        sub.add_argument("--window", type=int, default=WINDOW, help=f"batches in flight ({WINDOW})")
        sub.add_argument("--credits", metavar="ENDPOINT", help="the credit endpoint (default: PORT + 1)")
    return parser


async def _command(args):
    task = asyncio.current_task()
    loop = asyncio.get_running_loop()
    stopped = []

    def stop(signum):
        stopped.append(signum)
        task.cancel()

    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop, signum)
    if args.command == "recv" and args.create:
        ring = kelparine.SharedMemory.create(args.ring, RING_HEADER + args.create).spsc()
    else:
        ring = kelparine.SharedMemory.open(args.ring).spsc()
    try:
        if args.command == "send":
            print(f"send: {args.ring} -> {args.endpoint}", flush=True)
            count = await send(ring, args.endpoint, batch=args.batch, window=args.window,
                               credits=args.credits, confirm=args.confirm)
            print(f"send: {count} messages sent, and the end of the stream; all confirmed", flush=True)
        else:
            print(f"recv: {args.endpoint} -> {args.ring}", flush=True)
            count = await receive(args.endpoint, ring, window=args.window, credits=args.credits)
            print(f"recv: {count} messages written; the sender's ring has ended", flush=True)
        return 0
    except asyncio.CancelledError:
        if not stopped:
            raise
        return 128 + stopped[0]
    finally:
        ring.close()  # leaves this side's role: the far consumer's get() sees the end
        if args.command == "recv" and args.create:
            kelparine.SharedMemory.remove(args.ring)


def main(argv=None):
    """`python -m kelparine.bridge {send,recv} ...`; returns the exit status."""
    args = _parser().parse_args(argv)
    if zmq is None:
        print("kelparine.bridge needs pyzmq (Debian: apt-get install python3-zmq)", file=sys.stderr)
        return 2
    logging.basicConfig(format=f"{args.command}: %(message)s", level=logging.WARNING)
    try:
        return asyncio.run(_command(args))
    except KeyboardInterrupt:  # before the handlers were in place
        return 128 + signal.SIGINT
    except (OSError, ValueError, RuntimeError, zmq.ZMQError) as error:
        print(f"{args.command}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
