"""asyncio: the awaitable ring members between processes that each run an event loop.

- ping-pong: round trip aput -> aget -> aput back between two asyncio processes, beside asyncio
  with mp.Pipe + loop.add_reader and pyzmq's asyncio PAIR sockets over ipc://; the kinds run
  back to back in each pair, and the ratios are medians of per-pair ratios.
- streaming: 64 B messages put by a producer process into an asyncio consumer awaiting aget()
  while a 1 ms ticker task runs beside it: throughput, and how late the ticker's wake-ups are.
- idle: CPU time (all threads of the process, the waiter's included) of an aget() that waits
  with nothing coming.
"""

import asyncio
import multiprocessing as mp
import os
import resource
import statistics
import tempfile
import time

from common import median, remove_segment, segment_name

CTX = mp.get_context("fork")
MESSAGE = b"x" * 64


def _ratio(pairs):
    return {"median": statistics.median(pairs), "min": min(pairs), "max": max(pairs)}


# --- ping-pong ----------------------------------------------------------------------------------

def _ring_echo(names, count):
    from kelparine import SharedMemory

    inbox, outbox = (SharedMemory.open(n).spsc() for n in names)

    async def main():
        for _ in range(count):
            await outbox.aput(await inbox.aget())

    asyncio.run(main())


def ring_round_trip(count):
    from kelparine import SharedMemory

    names = [segment_name("aping"), segment_name("apong")]
    rings = [SharedMemory.create(n, 24 + 4096).spsc() for n in names]
    echo = CTX.Process(target=_ring_echo, args=(names, count))
    echo.start()
    out, back = rings

    async def main():
        for _ in range(50):  # warm-up
            await out.aput(MESSAGE)
            await back.aget()
        started = time.perf_counter()
        for _ in range(count - 50):
            await out.aput(MESSAGE)
            await back.aget()
        return (time.perf_counter() - started) / (count - 50)

    seconds = asyncio.run(main())
    echo.join(30)
    for r in rings:
        r.close()
    for n in names:
        remove_segment(n)
    return seconds


async def _pipe_recv(loop, conn):
    if not conn.poll():
        ready = loop.create_future()
        loop.add_reader(conn.fileno(), lambda: ready.done() or ready.set_result(None))
        try:
            await ready
        finally:
            loop.remove_reader(conn.fileno())
    return conn.recv_bytes()


def _pipe_echo(conn, count):
    async def main():
        loop = asyncio.get_running_loop()
        for _ in range(count):
            conn.send_bytes(await _pipe_recv(loop, conn))

    asyncio.run(main())


def pipe_round_trip(count):
    mine, theirs = CTX.Pipe()
    echo = CTX.Process(target=_pipe_echo, args=(theirs, count))
    echo.start()

    async def main():
        loop = asyncio.get_running_loop()
        for _ in range(50):
            mine.send_bytes(MESSAGE)
            await _pipe_recv(loop, mine)
        started = time.perf_counter()
        for _ in range(count - 50):
            mine.send_bytes(MESSAGE)
            await _pipe_recv(loop, mine)
        return (time.perf_counter() - started) / (count - 50)

    seconds = asyncio.run(main())
    echo.join(30)
    return seconds


def _zmq_echo(address, count):
    import zmq
    import zmq.asyncio

    async def main():
        context = zmq.asyncio.Context()
        sock = context.socket(zmq.PAIR)
        sock.connect(address)
        for _ in range(count):
            await sock.send(await sock.recv())
        sock.close(linger=1000)
        context.term()

    asyncio.run(main())


def zmq_round_trip(count):
    import zmq
    import zmq.asyncio

    address = f"ipc://{tempfile.gettempdir()}/kelparine-bench-{os.getpid()}.ipc"
    echo = CTX.Process(target=_zmq_echo, args=(address, count))

    async def main():
        context = zmq.asyncio.Context()
        sock = context.socket(zmq.PAIR)
        sock.bind(address)
        echo.start()
        for _ in range(50):
            await sock.send(MESSAGE)
            await sock.recv()
        started = time.perf_counter()
        for _ in range(count - 50):
            await sock.send(MESSAGE)
            await sock.recv()
        seconds = (time.perf_counter() - started) / (count - 50)
        sock.close(linger=0)
        context.term()
        return seconds

    seconds = asyncio.run(main())
    echo.join(30)
    return seconds


def run_ping_pong(settings, log):
    count = 2000 if settings.quick else 10000
    try:
        import zmq  # noqa: F401
        kinds = {"kelparine": ring_round_trip, "mp.Pipe": pipe_round_trip, "pyzmq": zmq_round_trip}
    except ImportError:
        log("asyncio: pyzmq missing (Debian: python3-zmq); compared with mp.Pipe only")
        kinds = {"kelparine": ring_round_trip, "mp.Pipe": pipe_round_trip}
    runs = {k: [] for k in kinds}
    for _ in range(settings.repeats):
        for kind, trial in kinds.items():
            runs[kind].append(trial(count))
    result = {"round_trips": count, "us": {k: median(v) * 1e6 for k, v in runs.items()}}
    for peer in kinds:
        if peer != "kelparine":
            result[f"vs {peer}"] = _ratio([a / b for a, b in zip(runs["kelparine"], runs[peer])])
    log(f"asyncio: round trip {result['us']}")
    return result


# --- streaming with a ticker --------------------------------------------------------------------

def _stream_producer(name, count):
    from kelparine import SharedMemory

    ring = SharedMemory.open(name).spsc()
    for _ in range(count):
        ring.put(MESSAGE)


def stream_trial(count):
    from kelparine import SharedMemory

    name = segment_name("astream")
    ring = SharedMemory.create(name, 24 + (1 << 20)).spsc()
    producer = CTX.Process(target=_stream_producer, args=(name, count))
    lateness = []

    async def ticker():
        loop = asyncio.get_running_loop()
        while True:
            due = loop.time() + 0.001
            await asyncio.sleep(0.001)
            lateness.append(loop.time() - due)

    async def main():
        tick = asyncio.ensure_future(ticker())
        await asyncio.sleep(0.01)
        producer.start()
        await ring.aget()
        started = time.perf_counter()
        for _ in range(count - 1):
            await ring.aget()
        seconds = time.perf_counter() - started
        tick.cancel()
        return seconds

    seconds = asyncio.run(main())
    producer.join(30)
    ring.close()
    remove_segment(name)
    ordered = sorted(lateness)
    return (count - 1) / seconds, ordered[int(0.99 * (len(ordered) - 1))] if ordered else float("nan")


def run_stream(settings, log):
    count = 300_000 if settings.quick else 2_000_000
    rates, p99s = [], []
    for _ in range(settings.repeats):
        rate, p99 = stream_trial(count)
        rates.append(rate)
        p99s.append(p99)
    result = {"messages": count, "msg_per_s": median(rates), "ticker_late_p99_ms": median(p99s) * 1e3}
    log(f"asyncio: streaming {result}")
    return result


# --- idle ---------------------------------------------------------------------------------------

def _idle_main(name, seconds, conn):
    from kelparine import SharedMemory

    ring = SharedMemory.open(name).spsc()

    async def main():
        try:
            await ring.aget(timeout=0.2)  # the waiter thread is started before the count begins
        except TimeoutError:
            pass
        before = resource.getrusage(resource.RUSAGE_SELF)
        started = time.monotonic()
        try:
            await ring.aget(timeout=seconds)
        except TimeoutError:
            pass
        after = resource.getrusage(resource.RUSAGE_SELF)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        conn.send(cpu / (time.monotonic() - started))

    asyncio.run(main())


def run_idle(settings, log):
    from kelparine import SharedMemory

    seconds = 2.0 if settings.quick else 10.0
    name = segment_name("aidle")
    SharedMemory.create(name, 24 + 4096).spsc()
    mine, theirs = CTX.Pipe()
    child = CTX.Process(target=_idle_main, args=(name, seconds, theirs))
    child.start()
    share = mine.recv()
    child.join(30)
    remove_segment(name)
    result = {"seconds": seconds, "cpu_share": share}
    log(f"asyncio: idle {result}")
    return result


def run(settings, log):
    return {"ping_pong": run_ping_pong(settings, log), "stream": run_stream(settings, log),
            "idle": run_idle(settings, log)}


def table(results, lines):
    from common import fmt_si

    pp = results["ping_pong"]
    lines.append(f"asyncio: round trip of a 64 B message between two asyncio processes ({pp['round_trips']} "
                 f"per run, kinds back to back; ratios are medians of per-pair ratios)")
    for kind, us in pp["us"].items():
        ratio = pp.get(f"vs {kind}")
        extra = f"   kelparine / {kind}: {ratio['median']:.2f}x ({ratio['min']:.2f}x-{ratio['max']:.2f}x)" if ratio else ""
        lines.append(f"  {kind:<10} {us:>8.1f} us{extra}")
    st = results["stream"]
    lines.append(f"asyncio: 64 B messages put by a process into an aget() loop beside a 1 ms ticker: "
                 f"{fmt_si(st['msg_per_s'])} msg/s, ticker late p99 {st['ticker_late_p99_ms']:.2f} ms")
    idle = results["idle"]
    lines.append(f"asyncio: an aget() waiting {idle['seconds']:g} s with nothing coming: "
                 f"{idle['cpu_share'] * 100:.2f}% of a core")


def targets(results):
    if not results:
        return []
    pp, st, idle = results["ping_pong"], results["stream"], results["idle"]
    rows = [("asyncio round trip <= 0.5x mp.Pipe + add_reader", f"{pp['vs mp.Pipe']['median']:.2f}x",
             pp["vs mp.Pipe"]["median"] <= 0.5)]
    if "vs pyzmq" in pp:
        rows.append(("asyncio round trip below pyzmq asyncio", f"{pp['vs pyzmq']['median']:.2f}x",
                     pp["vs pyzmq"]["median"] < 1.0))
    rows.append(("asyncio streaming 64 B >= 1 M msg/s", f"{st['msg_per_s'] / 1e6:.2f} M", st["msg_per_s"] >= 1e6))
    rows.append(("asyncio ticker late p99 <= 2 ms", f"{st['ticker_late_p99_ms']:.2f} ms",
                 st["ticker_late_p99_ms"] <= 2.0))
    rows.append(("asyncio idle aget() <= 1% of a core", f"{idle['cpu_share'] * 100:.2f}%", idle["cpu_share"] <= 0.01))
    return rows
