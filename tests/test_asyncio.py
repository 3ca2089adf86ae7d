"""The awaitable ring members: parity with their blocking twins, cancellation that never loses
or duplicates a message, more rings than one futex_waitv takes, end of file from a killed peer,
a loop that keeps finding data still letting other tasks run, and the same on uvloop."""

import asyncio
import multiprocessing as mp
import os
import random
import signal
import subprocess
import sys
import time

import pytest

from kelparine import SharedMemory as SM
from kelparine import SpscRingBuffer

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


async def _is_just(awaitable, ring):
    return await awaitable == [ring]


async def _pair(awaitable, then):
    return (await awaitable, then())


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("first, blocking, awaitable", [c[1:] for c in PARITY], ids=[c[0] for c in PARITY])
def test_awaitable_matches_its_blocking_twin(make_segment, loop_kind, first, blocking, awaitable):
    results = []
    for kind in ("blocking", "awaitable"):
        _, shm = make_segment(24 + CAPACITY)
        r = shm.spsc()
        if first is None:
            r.close()
        else:
            for message in first:
                r.push(message)
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
