"""The awaitable ring and queue members: parity with their blocking twins, cancellation that never
loses or duplicates a message, more rings than one futex_waitv takes, end of file from a killed
peer, a loop that keeps finding data still letting other tasks run, the queue's waiter bits
given back on every path, and the same on uvloop."""

import asyncio
import gc
import multiprocessing as mp
import os
import queue
import random
import signal
import subprocess
import sys
import time

import pytest

from kelparine import Queue
from kelparine import SharedMemory as SM
from kelparine import SpscRingBuffer
from conftest import shm_path

BOUND = 20  # seconds: generous bounds for waits, never timing assertions
CAPACITY = 4096

try:
    import uvloop
except ImportError:  # Debian: python3-uvloop
    uvloop = None

LOOPS = ["asyncio", pytest.param("uvloop", marks=pytest.mark.skipif(uvloop is None, reason="no uvloop"))]


def run(coro_fn, loop_kind="asyncio"):
    if loop_kind == "uvloop":
        loop = uvloop.new_event_loop()
    else:
        loop = asyncio.new_event_loop()
    try:
        return loop.run_until_complete(asyncio.wait_for(coro_fn(), BOUND))
    finally:
        loop.close()


@pytest.fixture
def ring(make_segment):
    _, shm = make_segment(24 + CAPACITY)
    return shm.spsc()


# --- parity: each awaitable against its blocking twin ------------------------------------------

def outcome(call):
    """('ok', result) or ('error', type, message with the member's name made common)."""
    try:
        value = call()
        return ("ok", bytes(value) if isinstance(value, (bytearray, memoryview)) else value)
    except Exception as error:  # noqa: BLE001 - compared as values
        text = str(error)
        for name in ("get_mixed", "get_into", "get", "put", "reserve", "borrow"):
            text = text.replace(f"a{name}()", f"{name}()")
        return ("error", type(error), text)


def loan_write(ring, size):
    with ring.reserve(size, timeout=0.05) as buf:
        buf[:] = b"z" * size
    return ring.pop()


async def aloan_write(ring, size):
    async with ring.areserve(size, timeout=0.05) as buf:
        buf[:] = b"z" * size
    return ring.pop()


def loan_read(ring):
    with ring.borrow(timeout=0.05) as view:
        return bytes(view)


async def aloan_read(ring):
    async with ring.aborrow(timeout=0.05) as view:
        return bytes(view)


# (id, what is pushed first, blocking call, awaitable call)
PARITY = [
    ("get", [b"abc"], lambda r: r.get(timeout=0.05), lambda r: r.aget(timeout=0.05)),
    ("get-tag", [7], lambda r: r.get("i64", 0.05), lambda r: r.aget("i64", 0.05)),
    ("get-empty-times-out", [], lambda r: r.get(timeout=0.05), lambda r: r.aget(timeout=0.05)),
    ("get-zero-timeout", [], lambda r: r.get(timeout=0), lambda r: r.aget(timeout=0)),
    ("get-bad-tag-type", [b"a"], lambda r: r.get(5), lambda r: r.aget(5)),
    ("get-negative-timeout", [b"a"], lambda r: r.get(None, -1), lambda r: r.aget(None, -1)),
    ("get-mixed", [[1, 2.5, "hi"]], lambda r: r.get_mixed([("i64", 1), ("f64", 1), ("str", 1)], 0.05),
     lambda r: r.aget_mixed([("i64", 1), ("f64", 1), ("str", 1)], 0.05)),
    ("get-mixed-empty", [], lambda r: r.get_mixed([("i64", 1)], 0.05), lambda r: r.aget_mixed([("i64", 1)], 0.05)),
    ("get-into", [b"hello"], lambda r: r.get_into(bytearray(8), 0.05), lambda r: r.aget_into(bytearray(8), 0.05)),
    ("get-into-too-small", [b"hello"], lambda r: r.get_into(bytearray(2), 0.05),
     lambda r: r.aget_into(bytearray(2), 0.05)),
    ("get-into-readonly", [b"hello"], lambda r: r.get_into(b"xx", 0.05), lambda r: r.aget_into(b"xx", 0.05)),
    ("put", [], lambda r: (r.put(b"p", 0.05), r.pop()), lambda r: _pair(r.aput(b"p", 0.05), r.pop)),
    ("put-full-times-out", [b"x" * (CAPACITY - 4)], lambda r: r.put(b"y", 0.05), lambda r: r.aput(b"y", 0.05)),
    ("put-too-large", [], lambda r: r.put(b"x" * CAPACITY, 0.05), lambda r: r.aput(b"x" * CAPACITY, 0.05)),
    ("put-unencodable", [], lambda r: r.put(object(), 0.05), lambda r: r.aput(object(), 0.05)),
    ("reserve", [], lambda r: loan_write(r, 5), lambda r: aloan_write(r, 5)),
    ("reserve-full-times-out", [b"x" * (CAPACITY - 4)], lambda r: loan_write(r, 5), lambda r: aloan_write(r, 5)),
    ("reserve-too-large", [], lambda r: loan_write(r, CAPACITY), lambda r: aloan_write(r, CAPACITY)),
    ("borrow", [b"lent"], loan_read, aloan_read),
    ("borrow-empty-times-out", [], loan_read, aloan_read),
    ("select", [b"s"], lambda r: SpscRingBuffer.select([r], 0.05) == [r],
     lambda r: _is_just(SpscRingBuffer.aselect([r], 0.05), r)),
    ("select-empty", [], lambda r: SpscRingBuffer.select([r], 0.05), lambda r: SpscRingBuffer.aselect([r], 0.05)),
    ("select-not-rings", [], lambda r: SpscRingBuffer.select([1], 0.05), lambda r: SpscRingBuffer.aselect([1], 0.05)),
    ("closed", None, lambda r: r.get(timeout=0.05), lambda r: r.aget(timeout=0.05)),
]


class Unpicklable:
    def __reduce__(self):
        raise TypeError("not for pickling")


QCAP = 256  # a record takes 16 bytes plus its payload rounded up to 16

# Queue rows: (id, what is put first, blocking call, awaitable call), on Queue(capacity=QCAP).
QUEUE_PARITY = [
    ("queue-get", [b"abc"], lambda q: q.get(timeout=0.05), lambda q: q.aget(timeout=0.05)),
    ("queue-get-pickled", [{"k": (1, 2.5)}], lambda q: q.get(timeout=0.05), lambda q: q.aget(0.05)),
    ("queue-get-empty-times-out", [], lambda q: q.get(timeout=0.05), lambda q: q.aget(timeout=0.05)),
    ("queue-get-zero-timeout", [], lambda q: q.get(timeout=0), lambda q: q.aget(timeout=0)),
    ("queue-get-negative-timeout", [b"a"], lambda q: q.get(timeout=-1), lambda q: q.aget(timeout=-1)),
    ("queue-get-many", [1, 2, 3], lambda q: q.get_many(2, 0.05), lambda q: q.aget_many(2, 0.05)),
    ("queue-get-many-empty-times-out", [], lambda q: q.get_many(2, 0.05), lambda q: q.aget_many(2, 0.05)),
    ("queue-get-many-zero", [1], lambda q: q.get_many(0), lambda q: q.aget_many(0)),
    ("queue-put", [], lambda q: (q.put(b"p", timeout=0.05), q.get(False)),
     lambda q: _pair(q.aput(b"p", 0.05), lambda: q.get(False))),
    ("queue-put-full-times-out", [b"x" * (QCAP - 16)], lambda q: q.put(b"y", timeout=0.05),
     lambda q: q.aput(b"y", timeout=0.05)),
    ("queue-put-zero-timeout", [b"x" * (QCAP - 16)], lambda q: q.put(b"y", timeout=0),
     lambda q: q.aput(b"y", timeout=0)),
    ("queue-put-too-large", [], lambda q: q.put(b"x" * QCAP), lambda q: q.aput(b"x" * QCAP)),
    ("queue-put-unpicklable", [], lambda q: _then(lambda: q.put(Unpicklable()), q.qsize),
     lambda q: _athen(lambda: q.aput(Unpicklable()), q.qsize)),
    ("queue-put-many", [], lambda q: (q.put_many([1, 2], 0.05), q.get_many(5, 0)),
     lambda q: _pair(q.aput_many([1, 2], 0.05), lambda: q.get_many(5, 0))),
    ("queue-put-many-partial", [b"x" * 200], lambda q: q.put_many([b"a" * 16] * 3, 0.05),
     lambda q: q.aput_many([b"a" * 16] * 3, 0.05)),
    ("queue-put-many-unpicklable", [], lambda q: _then(lambda: q.put_many([1, Unpicklable()]), q.qsize),
     lambda q: _athen(lambda: q.aput_many([1, Unpicklable()]), q.qsize)),
    ("queue-select", [b"s"], lambda q: SpscRingBuffer.select([q], 0.05) == [q],
     lambda q: _is_just(SpscRingBuffer.aselect([q], 0.05), q)),
    ("queue-select-empty", [], lambda q: SpscRingBuffer.select([q], 0.05),
     lambda q: SpscRingBuffer.aselect([q], 0.05)),
    ("queue-closed-get", None, lambda q: q.get(timeout=0.05), lambda q: q.aget(timeout=0.05)),
    ("queue-closed-put", None, lambda q: q.put(1, timeout=0.05), lambda q: q.aput(1, timeout=0.05)),
]


def _then(call, after):
    try:
        call()
    except Exception as error:  # noqa: BLE001 - compared as values
        return type(error), str(error), after()


async def _athen(call, after):
    try:
        await call()
    except Exception as error:  # noqa: BLE001 - compared as values
        return type(error), str(error), after()


async def _is_just(awaitable, ring):
    return await awaitable == [ring]


async def _pair(awaitable, then):
    return (await awaitable, then())


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("first, blocking, awaitable", [c[1:] for c in PARITY + QUEUE_PARITY],
                         ids=[c[0] for c in PARITY + QUEUE_PARITY])
def test_awaitable_matches_its_blocking_twin(make_segment, request, loop_kind, first, blocking, awaitable):
    results = []
    for kind in ("blocking", "awaitable"):
        if request.node.callspec.id.startswith("queue-"):
            r = Queue(capacity=QCAP)
            add = r.put_nowait
        else:
            _, shm = make_segment(24 + CAPACITY)
            r = shm.spsc()
            add = r.push
        if first is None:
            r.close()
        else:
            for message in first:
                add(message)
        if kind == "blocking":
            results.append(outcome(lambda: blocking(r)))
        else:
            async def call():
                return await awaitable(r)

            results.append(outcome(lambda: run(call, loop_kind)))
    assert results[0] == results[1]


# --- cancellation: every message exactly once -----------------------------------------------

def _numbered_producer(name, count, seed):
    ring = SM.open(name).spsc()
    rng = random.Random(seed)
    for i in range(count):
        if rng.random() < 0.05:
            time.sleep(rng.random() * 0.003)
        ring.put(i.to_bytes(4, "little"), timeout=BOUND)


def _numbered_consumer(name, count, conn):
    ring = SM.open(name).spsc()
    conn.send([int.from_bytes(ring.get(timeout=BOUND), "little") for _ in range(count)])


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_cancelled_agets_lose_and_duplicate_nothing(make_segment, loop_kind):
    name, shm = make_segment(24 + 256)
    ring, count = shm.spsc(), 3000
    producer = mp.get_context("fork").Process(target=_numbered_producer, args=(name, count, 1))
    producer.start()
    rng = random.Random(2)
    got = []

    async def main():
        cancelled = 0
        while len(got) < count:
            task = asyncio.ensure_future(ring.aget(timeout=BOUND))
            for _ in range(rng.randrange(3)):
                await asyncio.sleep(0)
            if rng.random() < 0.5 and not task.done():
                task.cancel()
            try:
                got.append(int.from_bytes(await task, "little"))
            except asyncio.CancelledError:
                cancelled += 1
            if len(got) == count:
                break
            try:  # a timeout as short as 0 ends an await at any point too
                got.append(int.from_bytes(await ring.aget(timeout=rng.choice([0, 1e-5, 1e-3])), "little"))
            except TimeoutError:
                pass
        return cancelled

    cancelled = run(main, loop_kind)
    producer.join(BOUND)
    assert got == list(range(count))
    assert cancelled > 0


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_cancelled_aputs_lose_and_duplicate_nothing(make_segment, loop_kind):
    name, shm = make_segment(24 + 64)
    ring, count = shm.spsc(), 2000
    parent, child = mp.Pipe()
    consumer = mp.get_context("fork").Process(target=_numbered_consumer, args=(name, count, child))
    consumer.start()
    rng = random.Random(3)

    async def main():
        i = 0
        while i < count:
            task = asyncio.ensure_future(ring.aput(i.to_bytes(4, "little"), timeout=BOUND))
            for _ in range(rng.randrange(3)):
                await asyncio.sleep(0)
            if rng.random() < 0.5 and not task.done():
                task.cancel()
            try:
                await task
                i += 1
            except asyncio.CancelledError:
                pass

    run(main, loop_kind)
    assert parent.poll(BOUND)
    assert parent.recv() == list(range(count))
    consumer.join(BOUND)


# --- many rings: more words than one futex_waitv takes ---------------------------------------

def _put_into_each_twice(names, go, between):
    rings = [SM.open(n).spsc() for n in names]
    go.wait(BOUND)
    for seed in (4, 5):
        order = list(range(len(rings)))
        random.Random(seed).shuffle(order)
        for i in order:
            rings[i].put(i.to_bytes(4, "little"), timeout=BOUND)
            time.sleep(0.0005)
        if seed == 4:
            between.wait(BOUND)


def test_more_than_128_rings_awaited_at_once(make_segment):
    count = 200
    made = [make_segment(24 + 256) for _ in range(count)]
    rings = [shm.spsc() for _, shm in made]
    go, between = mp.get_context("fork").Event(), mp.get_context("fork").Event()
    producer = mp.get_context("fork").Process(target=_put_into_each_twice, args=([n for n, _ in made], go, between))

    async def main():
        # Concurrent agets on every ring, all armed before the first message (the producer waits
        # for that: a slow run would otherwise find messages before it armed), then aselect.
        producer.start()
        gets = asyncio.gather(*(r.aget(timeout=BOUND) for r in rings))
        native = sys.modules["kelparine._aio"]._native  # loaded by the first aget() call
        for _ in range(int(BOUND / 0.01)):
            await asyncio.sleep(0.01)
            if native.waiter_threads() >= 2:
                break
        threads = native.waiter_threads()
        go.set()
        values = await gets
        assert [int.from_bytes(v, "little") for v in values] == list(range(count))
        between.set()
        seen = set()
        while len(seen) < count:
            for r in await SpscRingBuffer.aselect(rings, timeout=BOUND):
                message = r.pop()  # None: a ring ready for its end of file (the producer is done)
                if message is not None:
                    seen.add(int.from_bytes(message, "little"))
        return threads

    assert run(main) >= 2  # 200 words take two waiter threads of 127
    producer.join(BOUND)


# --- end of file, closing, liveness -------------------------------------------------------------

def _put_three_then_sleep(name):
    ring = SM.open(name).spsc()
    for i in range(3):
        ring.put(bytes([i]), timeout=BOUND)
    time.sleep(BOUND)


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_a_killed_producer_ends_async_for(make_segment, loop_kind):
    name, shm = make_segment(24 + CAPACITY)
    ring = shm.spsc()
    producer = mp.get_context("fork").Process(target=_put_three_then_sleep, args=(name,))
    producer.start()

    async def main():
        got = []
        async for message in ring:
            got.append(message)
            if len(got) == 3:
                os.kill(producer.pid, signal.SIGKILL)
        return got

    assert run(main, loop_kind) == [b"\x00", b"\x01", b"\x02"]
    producer.join(BOUND)


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_closing_an_awaited_ring_raises_as_the_blocking_form(ring, loop_kind):
    async def main():
        asyncio.get_running_loop().call_later(0.05, ring.close)
        with pytest.raises(ValueError, match="closed"):
            await ring.aget()
        return True

    assert run(main, loop_kind)


def test_a_caller_that_keeps_finding_data_lets_other_tasks_run(ring):
    async def main():
        turns = 0

        async def other():
            nonlocal turns
            while True:
                turns += 1
                await asyncio.sleep(0)

        task = asyncio.ensure_future(other())
        await asyncio.sleep(0)
        before = turns
        for _ in range(20000):
            ring.push(b"m")
            await ring.aget()
        task.cancel()
        return turns - before

    # Without yielding, the awaits, which never park, would run without the other task getting a turn.
    assert run(main) >= 2


def test_a_task_woken_by_a_callback_runs_before_the_busy_callers_next_turn(ring, monkeypatch):
    ring.push(b"load the helpers")
    run(ring.aget)
    monkeypatch.setattr(sys.modules["kelparine._aio"], "_TURN", 0.0)  # every streak's end yields

    async def main():
        loop = asyncio.get_running_loop()
        taken = 0
        seen = []

        async def woken():  # as a timer or a reader wakes a task: a callback resolves its future
            while True:
                future = loop.create_future()
                loop.call_soon(future.set_result, None)
                await future
                seen.append(taken)

        task = asyncio.ensure_future(woken())
        for _ in range(3000):
            ring.push(b"m")
            await ring.aget()
            taken += 1
        task.cancel()
        return [b - a for a, b in zip(seen, seen[1:])]

    # One streak of completions (32) between its steps, not two: a yield that queued the
    # caller's next step before the callbacks ran would let a whole turn go first.
    gaps = run(main)
    assert gaps and max(gaps) <= 32


# --- fork, fallback, anyio ------------------------------------------------------------------------

_CHILD = r"""
import asyncio, os, sys, time
from kelparine import SharedMemory as SM
name = sys.argv[1]
ring = SM.open(name).spsc()
async def main():
    got = [await ring.aget(timeout=20) for _ in range(3)]
    pid = os.fork()  # the child has no waiter thread: its own starts on first use
    if pid == 0:
        async def child():
            ring.push(b"again")
            return await ring.aget(timeout=20)
        os._exit(0 if asyncio.run(child()) == b"again" else 1)
    _, status = os.waitpid(pid, 0)
    return got, status
print(asyncio.run(main()))
"""


@pytest.mark.parametrize("no_waitv", [False, True], ids=["futex_waitv", "forced-fallback"])
def test_waiter_across_processes_and_fork(make_segment, no_waitv):
    name, shm = make_segment(24 + CAPACITY)
    ring = shm.spsc()
    env = dict(os.environ)
    if no_waitv:
        env["KELPARINE_AIO_NO_WAITV"] = "1"
    child = subprocess.Popen([sys.executable, "-c", _CHILD, name], env=env, stdout=subprocess.PIPE, text=True)
    time.sleep(0.2)  # (no assertion on it) mostly lets the child park before the first put
    for i in range(3):
        ring.put(bytes([i]), timeout=BOUND)
    out, _ = child.communicate(timeout=BOUND)
    assert child.returncode == 0
    assert out.strip() == "([b'\\x00', b'\\x01', b'\\x02'], 0)"


@pytest.mark.filterwarnings("ignore:trio.MultiError is deprecated")  # anyio 3.6 on trio 0.22
@pytest.mark.parametrize("backend", ["asyncio", "trio"])
def test_anyio_on_either_backend(ring, backend):
    anyio = pytest.importorskip("anyio")
    if backend == "trio":
        pytest.importorskip("trio")  # Debian: python3-trio

    async def main():
        async with anyio.create_task_group() as group:
            group.start_soon(ring.aput, b"via anyio")
            return await ring.aget(timeout=BOUND)

    assert anyio.run(main, backend=backend) == b"via anyio"


def _echo(out_name, back_name):
    out, back = SM.open(out_name).spsc(), SM.open(back_name).spsc()
    try:
        while True:
            back.put(out.get(timeout=BOUND), timeout=BOUND)
    except EOFError:  # the parent closed its producing end
        pass


def test_trio_runs_the_awaitables_with_its_own_cancellation(make_segment):
    trio = pytest.importorskip("trio")  # Debian: python3-trio
    (out_name, out_shm), (back_name, back_shm) = make_segment(24 + 64), make_segment(24 + 64)
    out, back = out_shm.spsc(), back_shm.spsc()
    echo = mp.get_context("fork").Process(target=_echo, args=(out_name, back_name))
    echo.start()
    count, rng = 300, random.Random(3)

    async def main():
        got, cancelled, sent = [], 0, 0
        with trio.fail_after(BOUND):
            with pytest.raises(TimeoutError, match=r"aget\(\) timed out after 0.01 s with no message"):
                await back.aget(timeout=0.01)
            while len(got) < count:
                if sent < count and sent - len(got) < 4:  # both 64-byte rings hold four
                    await out.aput(sent.to_bytes(4, "little"), timeout=BOUND)
                    sent += 1
                with trio.move_on_after(rng.choice([0, 1e-5, 1e-3])) as scope:
                    if await SpscRingBuffer.aselect([back], timeout=BOUND) == [back]:
                        got.append(int.from_bytes(await back.aget(timeout=BOUND), "little"))
                cancelled += scope.cancelled_caught
            out.close()  # the echo's get() ends with EOFError, and so does async for here
            return got, cancelled, [message async for message in back]

    got, cancelled, rest = trio.run(main)
    echo.join(BOUND)
    assert got == list(range(count)) and rest == [] and cancelled > 0
    assert echo.exitcode == 0


# --- Queue: cancellation across processes, end of file, aselect, waiter bits ----------------------

KINDS = LOOPS + [pytest.param("trio", marks=pytest.mark.skipif(
    not __import__("importlib").util.find_spec("trio"), reason="no trio"))]


def run_any(coro_fn, kind):
    if kind != "trio":
        return run(coro_fn, kind)
    import trio

    async def bounded():
        with trio.fail_after(BOUND):
            return await coro_fn()

    return trio.run(bounded)


def _cancelling_producer(q, index, count, seed, loop_kind, all_producing):
    rng = random.Random(seed)
    q.put((index, 0))  # holds the producer role from here: the end comes when all are gone
    all_producing.wait(BOUND)

    async def main():
        i = 1
        while i < count:
            task = asyncio.ensure_future(q.aput((index, i), timeout=BOUND))
            for _ in range(rng.randrange(3)):
                await asyncio.sleep(0)
            if rng.random() < 0.3 and not task.done():
                task.cancel()
            try:
                await task
                i += 1
            except asyncio.CancelledError:
                pass

    run(main, loop_kind)


def _cancelling_consumer(q, results, seed, loop_kind):
    rng = random.Random(seed)
    ended = []

    async def taker(got):
        while True:
            task = asyncio.ensure_future(q.aget_many(rng.choice([1, 1, 4]), timeout=BOUND))
            for _ in range(rng.randrange(3)):
                await asyncio.sleep(0)
            if rng.random() < 0.4 and not task.done():
                task.cancel()
            try:
                got.extend(await task)
            except asyncio.CancelledError:
                if ended:  # this taker itself is cancelled
                    raise
            except EOFError:
                return
            try:  # a timeout as short as 0 ends an await at any point too
                got.append(await q.aget(timeout=rng.choice([0, 1e-5, 1e-3])))
            except queue.Empty:
                pass
            except EOFError:
                return

    async def main():
        streams = [[], []]
        tasks = [asyncio.ensure_future(taker(got)) for got in streams]
        # The end of file is reported once: the first taker to meet it ends the others.
        _, pending = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        ended.append(True)
        for task in pending:
            task.cancel()
        await asyncio.gather(*tasks, return_exceptions=True)
        return streams

    results.put(run(main, loop_kind))


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_queue_awaits_cancelled_at_random_lose_and_duplicate_nothing(loop_kind):
    ctx = mp.get_context("fork")
    q, results = Queue(capacity=512), ctx.Queue()  # small: producers wait for room too
    count, producers_n = 600, 3
    all_producing = ctx.Barrier(producers_n)
    consumers = [ctx.Process(target=_cancelling_consumer, args=(q, results, 10 + i, loop_kind)) for i in range(2)]
    producers = [ctx.Process(target=_cancelling_producer, args=(q, i, count, i, loop_kind, all_producing))
                 for i in range(producers_n)]
    for p in consumers + producers:
        p.start()
    streams = [stream for _ in consumers for stream in results.get(timeout=2 * BOUND)]
    for p in consumers + producers:
        p.join(BOUND)
    assert sorted(item for stream in streams for item in stream) == [
        (i, seq) for i in range(producers_n) for seq in range(count)]
    for stream in streams:  # each taker sees each producer's items in order
        for i in range(producers_n):
            mine = [seq for index, seq in stream if index == i]
            assert mine == sorted(mine)
    assert all(p.exitcode == 0 for p in consumers + producers)


def _put_numbered_and_exit(q, index, count, all_producing):
    q.put((index, 0))  # holds the producer role from here: the end comes when both are gone
    all_producing.wait(BOUND)
    q.put_many([(index, i) for i in range(1, count)], timeout=BOUND)


@pytest.mark.parametrize("kind", KINDS)
def test_async_for_over_a_queue_ends_when_the_producers_exit(kind):
    ctx = mp.get_context("fork")
    q = Queue(capacity=1024)  # far less than the items: the producers wait for the consumer
    all_producing = ctx.Barrier(2)
    producers = [ctx.Process(target=_put_numbered_and_exit, args=(q, i, 200, all_producing)) for i in range(2)]
    for p in producers:
        p.start()

    async def main():
        return [item async for item in q]

    got = run_any(main, kind)
    for p in producers:
        p.join(BOUND)
    assert sorted(got) == [(i, n) for i in range(2) for n in range(200)]


def _put_later_and_exit(q):
    time.sleep(0.2)
    q.put("from the queue")
    time.sleep(0.2)


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_aselect_over_rings_and_a_queue(make_segment, loop_kind):
    ra, rb = make_segment(24 + 256)[1].spsc(), make_segment(24 + 256)[1].spsc()
    q = Queue(capacity=1024)
    producer = mp.get_context("fork").Process(target=_put_later_and_exit, args=(q,))
    producer.start()

    async def main():
        first = await SpscRingBuffer.aselect([ra, q, rb], timeout=BOUND)
        item = q.get(timeout=0)
        rb.push(b"ring")
        second = await SpscRingBuffer.aselect([ra, q, rb], timeout=BOUND)
        rb.pop()
        # The producer exits: the queue is ready for its end of file, as select() reports it.
        third = await SpscRingBuffer.aselect([ra, q, rb], timeout=BOUND)
        return first == [q], item, second == [rb], third == [q]

    assert run(main, loop_kind) == (True, "from the queue", True, True)
    producer.join(BOUND)
    with pytest.raises(EOFError):
        q.get(timeout=BOUND)


def _waiter_bits(name):
    """The consumers' and producers' waiter bitmaps, as bytes."""
    with open(shm_path(name), "rb") as f:
        f.seek(384)
        return f.read(64), f.read(64)


NO_BITS = (bytes(64), bytes(64))


async def _parked(awaitable):
    task = asyncio.ensure_future(awaitable)
    await asyncio.sleep(0.05)
    return task


async def _end_by_timeout(q, name):
    with pytest.raises(queue.Empty):
        await q.aget(timeout=0.05)


async def _end_by_cancel(q, name):
    task = await _parked(q.aget())
    assert _waiter_bits(name)[0] != bytes(64)  # announced while parked
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)


async def _end_aput_by_cancel(q, name):
    q.put(b"x" * 1000)
    task = await _parked(q.aput(b"y" * 100))
    assert _waiter_bits(name)[1] != bytes(64)
    task.cancel()
    await asyncio.gather(task, return_exceptions=True)


async def _end_by_close(q, name):
    asyncio.get_running_loop().call_later(0.05, q.close)
    with pytest.raises(ValueError, match="closed"):
        await q.aget()


def _end_by_loop_closed(q, name):
    loop = asyncio.new_event_loop()
    task = loop.create_task(q.aget())
    loop.run_until_complete(asyncio.sleep(0.05))
    assert _waiter_bits(name)[0] != bytes(64)
    loop.close()  # with the await still parked
    del task
    gc.collect()


def _child_takes(q, conn):
    conn.send(asyncio.run(q.aget(timeout=BOUND)))


def _end_in_a_fork_child(q, name):
    # The parent's await is parked while the child is forked; then it ends, and the child's own
    # await must still be woken: its bit is its own, not the parent's.
    loop = asyncio.new_event_loop()
    try:
        task = loop.create_task(q.aget())
        loop.run_until_complete(asyncio.sleep(0.05))
        parent, child = mp.Pipe()
        taker = mp.get_context("fork").Process(target=_child_takes, args=(q, child))
        taker.start()
        time.sleep(0.3)  # (no assertion on it) mostly lets the child park first
        task.cancel()
        loop.run_until_complete(asyncio.gather(task, return_exceptions=True))
    finally:
        loop.close()
    q.put("to the child")
    assert parent.poll(BOUND) and parent.recv() == "to the child"
    taker.join(BOUND)


@pytest.mark.parametrize("end", [_end_by_timeout, _end_by_cancel, _end_aput_by_cancel, _end_by_close,
                                 _end_by_loop_closed, _end_in_a_fork_child], ids=lambda f: f.__name__[1:])
def test_queue_awaits_give_back_their_waiter_bits(seg_name, end):
    q = Queue.create(seg_name, 1024)
    q.put(b"loads the helpers")
    run(q.aget)
    if asyncio.iscoroutinefunction(end):
        run(lambda: end(q, seg_name))
    else:
        end(q, seg_name)  # runs loops of its own
    assert _waiter_bits(seg_name) == NO_BITS


def _take_one_and_leave(q, took, leave):
    q.get(timeout=BOUND)
    took.set()
    leave.wait(BOUND)


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_a_parked_aput_ends_when_the_consumers_leave(loop_kind):
    ctx = mp.get_context("fork")
    q, took, leave = Queue(capacity=64), ctx.Event(), ctx.Event()
    consumer = ctx.Process(target=_take_one_and_leave, args=(q, took, leave))
    consumer.start()
    q.put(b"first")
    assert took.wait(BOUND)
    q.put(b"x" * 48)  # fills the queue; the consumer is seen (it holds its role until it ends)

    async def main():
        task = await _parked(q.aput(b"y", timeout=BOUND))
        leave.set()
        with pytest.raises(BrokenPipeError, match="consumers are gone"):
            await task
        return q.qsize()

    assert run(main, loop_kind) == 1
    consumer.join(BOUND)
