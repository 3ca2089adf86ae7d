"""The bridge over loopback TCP against pyzmq alone.

  bridge       producer --ring--> send ~~ tcp://127.0.0.1 ~~ recv --ring--> consumer: four
               processes, kelparine.bridge.send/receive (asyncio, credits, landing
               confirmation) between two 1 MiB rings; the producer push_many()s ready batches
               and ends, and the consumer get_many()s until the end of the stream
  pyzmq        PUSH/PULL over tcp://127.0.0.1 between two processes, the same messages sent
               as multipart messages of BATCH parts (what the bridge puts on the wire, less
               its credits): the transport's own ceiling

Messages of 64 B and 1 KiB; the consumer's clock starts at its first message. Each repeat runs
the two back to back; the figure is the median of the per-repeat ratios bridge / pyzmq.

Standalone: PYTHONPATH=build python3 bench/bridge_suite.py [--quick].
"""

import asyncio
import time

from kelparine.bridge import free_port_pair
from common import MiB, Rings, fork_context, median, paired

SIZES = (64, 1024)
BATCH = 256
WINDOW = 8
CAPACITY = MiB


def messages(size):
    return [bytes([i % 251]) * size for i in range(BATCH)]




def _run(processes, result, timeout=120.0):
    """Starts the processes (the first reports through `result`); returns what it reported."""
    try:
        for process in processes:
            process.start()
        if not result.poll(timeout):
            raise RuntimeError(f"no result within {timeout:.0f} s "
                               f"(exit codes {[p.exitcode for p in processes]})")
        value = result.recv()
        for process in processes:
            process.join(timeout)
        return value
    finally:
        for process in processes:
            if process.is_alive():
                process.kill()
                process.join()


def bridge_run(n, size):
    from kelparine import bridge

    ctx = fork_context()
    result, report = ctx.Pipe(duplex=False)
    endpoint = f"tcp://127.0.0.1:{free_port_pair()}"
    with Rings(2, CAPACITY, stem="bridge") as rings:
        def produce():
            ring, batch = rings.open(0), messages(size)
            for _ in range(n // BATCH):
                sent = ring.push_many(batch)
                while sent < len(batch):
                    ring.put(batch[sent])
                    sent += 1 + ring.push_many(batch[sent + 1:])

        def consume():
            ring = rings.open(1)
            got = len(ring.get_many(BATCH, timeout=60))
            first, counted_at = time.perf_counter(), got
            while got < n:
                got += len(ring.get_many(BATCH, timeout=60))
            report.send((n - counted_at) / (time.perf_counter() - first))

        sides = [ctx.Process(target=consume),
                 ctx.Process(target=lambda: asyncio.run(bridge.receive(endpoint, rings.open(1), window=WINDOW))),
                 ctx.Process(target=lambda: asyncio.run(bridge.send(rings.open(0), endpoint, batch=BATCH,
                                                                    window=WINDOW))),
                 ctx.Process(target=produce)]
        return _run(sides, result)


def zmq_run(n, size):
    import zmq

    ctx = fork_context()
    result, report = ctx.Pipe(duplex=False)
    endpoint = f"tcp://127.0.0.1:{free_port_pair()}"

    def produce():
        context = zmq.Context()
        push = context.socket(zmq.PUSH)
        push.connect(endpoint)
        batch = messages(size)
        for _ in range(n // BATCH):
            push.send_multipart(batch)
        push.close(linger=-1)
        context.term()

    def consume():
        context = zmq.Context()
        pull = context.socket(zmq.PULL)
        pull.bind(endpoint)
        got = len(pull.recv_multipart())
        first, counted_at = time.perf_counter(), got
        while got < n:
            got += len(pull.recv_multipart())
        report.send((n - counted_at) / (time.perf_counter() - first))
        pull.close()
        context.term()

    return _run([ctx.Process(target=consume), ctx.Process(target=produce)], result)


def run(settings, log):
    try:
        import zmq  # noqa: F401
    except ImportError:
        log("bridge: pyzmq is not installed; skipped")
        return None
    n = (100_000 if settings.quick else 500_000) // BATCH * BATCH
    rates = {size: {"bridge": [], "pyzmq": []} for size in SIZES}
    for _ in range(settings.repeats):
        for size in SIZES:
            rates[size]["bridge"].append(bridge_run(n, size))
            rates[size]["pyzmq"].append(zmq_run(n, size))
    log(f"bridge: {settings.repeats} x {2 * len(SIZES)} runs of {n} messages")
    return {"messages": n, "batch": BATCH, "window": WINDOW,
            "msg_per_s": {size: {name: median(r) for name, r in pair.items()} for size, pair in rates.items()},
            "ratios": {size: paired(pair["bridge"], pair["pyzmq"]) for size, pair in rates.items()},
            "runs": rates}


def table(results, lines):
    """Lines for bench/run.py's table."""
    lines.append(f"Bridge: {results['messages']} messages over loopback TCP, batches of {results['batch']}, "
                 f"window {results['window']}; bridge / pyzmq PUSH/PULL alone, median of paired runs (range)")
    for size, pair in results["msg_per_s"].items():
        ratio = results["ratios"][size]
        lines.append(f"  {int(size):>5} B   bridge {pair['bridge'] / 1e3:>8.0f} k msg/s   "
                     f"pyzmq {pair['pyzmq'] / 1e3:>8.0f} k msg/s   "
                     f"{ratio['median']:.2f}x ({ratio['min']:.2f}x-{ratio['max']:.2f}x)")


if __name__ == "__main__":
    import argparse
    import sys

    from common import Settings

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    lines = []
    table(run(Settings.make(args.quick), lambda text: print(text, file=sys.stderr)), lines)
    print("\n".join(lines))
