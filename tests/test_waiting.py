"""Waiting: put/get/select and the bulk waits with their timeouts, wake-ups across real
processes (fork and spawn), peers that never wake anyone, Ctrl-C, the interpreter lock given
up, several threads on one object, and the view's bounded lock wait. Bounds are generous: a
slow machine makes a wait late, never wrong."""

import math
import mmap
import os
import signal
import struct
import threading
import time

import pytest

import kelparine
from conftest import shm_path

SM, Ring = kelparine.SharedMemory, kelparine.SpscRingBuffer
BOUND = 10.0  # seconds any expected wake-up may take on a loaded machine


@pytest.fixture
def ring(make_segment):
    name, shm = make_segment(24 + 64)
    return name, shm.spsc()


def fill(ring):
    while ring.push(b"x" * 4):
        pass


# --- timeouts: on expiry nothing is written or taken ------------------------------------------

WAITS = {
    "get": lambda r, t: r.get(timeout=t),
    "get_mixed": lambda r, t: r.get_mixed([("u8", 1)], timeout=t),
    "get_into": lambda r, t: r.get_into(bytearray(8), timeout=t),
    "borrow": lambda r, t: r.borrow(timeout=t).__enter__(),
    "put": lambda r, t: r.put(b"abcd", timeout=t),
    "reserve": lambda r, t: r.reserve(4, timeout=t).__enter__(),
}


@pytest.mark.parametrize("timeout", [0, 0.05])
@pytest.mark.parametrize("call", sorted(WAITS))
def test_expiry_raises_timeout_error_and_changes_nothing(ring, call, timeout):
    _, r = ring
    if call in ("put", "reserve"):
        fill(r)
    before = (r.used(), bytes(open(shm_path(ring[0]), "rb").read()))
    started = time.monotonic()
    with pytest.raises(TimeoutError, match=r"timed out after"):
        WAITS[call](r, timeout)
    assert time.monotonic() - started >= timeout
    assert (r.used(), bytes(open(shm_path(ring[0]), "rb").read())) == before
    assert Ring.select([r] if call not in ("put", "reserve") else [], timeout=timeout) == []


@pytest.mark.parametrize("value, error", [
    (-1, ValueError), (-0.001, ValueError), (math.nan, ValueError), ("1", TypeError), ([], TypeError),
])
@pytest.mark.parametrize("call", sorted(WAITS))
def test_bad_timeouts_are_refused_before_anything(ring, call, value, error):
    _, r = ring
    r.push(b"abcd")
    with pytest.raises(error, match="timeout"):
        WAITS[call](r, value)
    assert r.used() == 8


def test_no_bound_and_infinity_wait_and_succeed(ring):
    _, r = ring
    r.put(b"a", timeout=None)
    r.put(b"b", timeout=math.inf)
    assert (r.get(timeout=None), r.get(timeout=math.inf)) == (b"a", b"b")


def test_message_too_large_is_refused_at_once(ring):
    _, r = ring
    started = time.monotonic()
    for call in (lambda: r.put(b"x" * 61), lambda: r.reserve(61), lambda: r.push_many([b"x" * 61])):
        with pytest.raises(ValueError, match=r"^message too large: frame_len=65 > capacity=64"):
            call()
    assert time.monotonic() - started < BOUND


# --- wake-ups across processes -----------------------------------------------------------------


def _consume(name, count, conn):
    ring = SM.open(name).spsc()
    conn.send("waiting")
    conn.send([ring.get(timeout=BOUND * 3) for _ in range(count)])


def _produce_into_full(name, count, conn):
    ring = SM.open(name).spsc()
    conn.send("waiting")
    for i in range(count):
        ring.put(i.to_bytes(4, "little") * 8, timeout=BOUND * 3)
    conn.send("done")


@pytest.mark.parametrize("peer_puts", [True, False], ids=["put", "push"])
def test_parked_consumer_is_woken_or_notices(mp_context, ring, peer_puts):
    # put() wakes the parked consumer; a producer that only pushes is noticed by the timed park.
    name, r = ring
    parent, child = mp_context.Pipe()
    consumer = mp_context.Process(target=_consume, args=(name, 3, child))
    consumer.start()
    assert parent.recv() == "waiting"
    time.sleep(0.2)  # parked by now
    for i in range(3):
        assert r.put(bytes([i])) is None if peer_puts else r.push(bytes([i]))
        time.sleep(0.05)
    assert parent.poll(BOUND) and parent.recv() == [b"\0", b"\1", b"\2"]
    consumer.join(BOUND)


def test_parked_producer_is_woken_by_the_consumer(mp_context, ring):
    name, r = ring
    parent, child = mp_context.Pipe()
    producer = mp_context.Process(target=_produce_into_full, args=(name, 20, child))
    producer.start()
    assert parent.recv() == "waiting"
    got = []
    while len(got) < 20:
        got.append(r.get(timeout=BOUND))
        time.sleep(0.01)  # the producer fills the ring and parks again
    assert got == [i.to_bytes(4, "little") * 8 for i in range(20)]
    assert parent.poll(BOUND) and parent.recv() == "done"
    producer.join(BOUND)


def test_consumer_killed_while_parked_leaves_the_ring_usable(mp_context, ring):
    name, r = ring
    parent, child = mp_context.Pipe()
    consumer = mp_context.Process(target=_consume, args=(name, 1, child))
    consumer.start()
    assert parent.recv() == "waiting"
    time.sleep(0.2)
    os.kill(consumer.pid, signal.SIGKILL)
    consumer.join(BOUND)
    r.put(b"after")
    assert SM.open(name).spsc().get(timeout=BOUND) == b"after"
    assert r.is_empty()


# --- Ctrl-C ------------------------------------------------------------------------------------


def _wait_interruptibly(name, call, conn):
    signal.signal(signal.SIGINT, signal.default_int_handler)
    ring = SM.open(name).spsc()
    view = SM.open(name).map()
    calls = {
        "get": ring.get, "put": lambda: ring.put(b"abcd"), "select": lambda: Ring.select([ring]),
        "lock": lambda: view.write(b"x", 50),
    }
    conn.send("waiting")
    started = time.monotonic()
    try:
        calls[call]()
        conn.send("returned")
    except KeyboardInterrupt:
        conn.send(time.monotonic() - started)


@pytest.mark.parametrize("call", ["get", "put", "select", "lock"])
def test_ctrl_c_ends_a_wait_with_nothing_done(mp_context, make_segment, call):
    name, shm = make_segment(24 + 64)
    r = shm.spsc()
    if call == "put":
        fill(r)
    if call == "lock":
        with open(shm_path(name), "r+b") as f:
            f.write(struct.pack("<i", -1))  # a foreign exclusive hold; header bytes: don't care
    before = open(shm_path(name), "rb").read()
    parent, child = mp_context.Pipe()
    waiter = mp_context.Process(target=_wait_interruptibly, args=(name, call, child))
    waiter.start()
    assert parent.recv() == "waiting"
    time.sleep(0.3)  # parked (or backing off) by now
    sent = time.monotonic()
    os.kill(waiter.pid, signal.SIGINT)
    assert parent.poll(BOUND)
    took = parent.recv()
    assert took != "returned"
    assert time.monotonic() - sent < BOUND
    waiter.join(BOUND)
    assert open(shm_path(name), "rb").read() == before


# --- the interpreter lock and threads ----------------------------------------------------------


def test_a_thread_runs_while_the_main_thread_waits(ring):
    _, r = ring
    counted = [0]
    stop = threading.Event()

    def count():
        while not stop.is_set():
            counted[0] += 1

    worker = threading.Thread(target=count)
    worker.start()
    try:
        with pytest.raises(TimeoutError):
            r.get(timeout=0.5)
        at_end = counted[0]
    finally:
        stop.set()
        worker.join()
    assert at_end > 1000


@pytest.mark.parametrize("side", ["consumers", "producers"])
def test_threads_sharing_one_ring_object_never_duplicate_or_lose(make_segment, side):
    _, shm = make_segment(24 + 256)
    r = shm.spsc()
    messages = [i.to_bytes(4, "little") * (1 + i % 50) for i in range(3000)]
    taken, errors = [], []

    def consume(count):
        try:
            taken.extend(r.get(timeout=BOUND) for _ in range(count))
        except Exception as error:  # noqa: BLE001 - reported below
            errors.append(error)

    def produce(part):
        try:
            for m in part:
                r.put(m, timeout=BOUND)
        except Exception as error:  # noqa: BLE001
            errors.append(error)

    if side == "consumers":
        threads = [threading.Thread(target=consume, args=(1500,)) for _ in range(2)]
        for t in threads:
            t.start()
        for m in messages:
            r.put(m, timeout=BOUND)
    else:
        threads = [threading.Thread(target=produce, args=(messages[k::2],)) for k in range(2)]
        for t in threads:
            t.start()
        consume(3000)
    for t in threads:
        t.join(BOUND * 3)
    assert not errors
    assert sorted(taken) == sorted(messages)


def test_closing_a_ring_ends_another_threads_wait(ring):
    _, r = ring
    outcome = []

    def wait():
        try:
            r.get(timeout=BOUND)
        except ValueError as error:
            outcome.append(str(error))

    waiter = threading.Thread(target=wait)
    waiter.start()
    time.sleep(0.2)
    r.close()
    waiter.join(BOUND)
    assert outcome == ["SpscRingBuffer is closed"]


# --- select ------------------------------------------------------------------------------------


def test_select_returns_every_ready_ring_in_the_order_given(make_segment):
    rings = [make_segment(24 + 64)[1].spsc() for _ in range(5)]
    for k in (3, 1, 4):
        rings[k].push(b"m")
    assert Ring.select(rings, timeout=0) == [rings[1], rings[3], rings[4]]
    assert Ring.select(tuple(reversed(rings))) == [rings[4], rings[3], rings[1]]
    with pytest.raises(TypeError):
        Ring.select([rings[0], "ring"])


def _produce_on(name, delay):
    time.sleep(delay)
    SM.open(name).spsc().put(b"late")


def test_select_wakes_for_whichever_ring_gets_a_message(mp_context, make_segment):
    named = [make_segment(24 + 64) for _ in range(8)]
    rings = [shm.spsc() for _, shm in named]
    producer = mp_context.Process(target=_produce_on, args=(named[6][0], 0.2))
    producer.start()
    assert Ring.select(rings, timeout=BOUND) == [rings[6]]
    producer.join(BOUND)


# --- the view's lock wait ----------------------------------------------------------------------


@pytest.mark.parametrize("word, seen", [(-1, "held exclusively"), (3, "held shared by 3 readers"),
                                        (-7, "corrupt or stale")])
def test_lock_timeout_names_the_word_and_the_way_out(make_segment, word, seen):
    name, shm = make_segment(4 + 64)
    view = shm.map()
    view.set_lock_timeout(0.05)
    with open(shm_path(name), "r+b") as f:
        segment = mmap.mmap(f.fileno(), 0)
    segment[0:4] = struct.pack("<i", word)
    calls = [lambda: view.write(b"x")] + ([] if word > 0 else [view.read_all, lambda: view.read("u8")])
    for call in calls:
        with pytest.raises(TimeoutError) as info:
            call()
        assert f"reads {word} ({seen}" in str(info.value)
        assert f"tools/kelparine-inspect {name} --clear-stale-lock" in str(info.value)
    assert view.tell() == 0 and bytes(segment[4:]) == bytes(64)
    view.set_lock_timeout(None)
    assert view.lock_timeout() is None
    segment[0:4] = struct.pack("<i", 0)
    view.write(b"y")


# --- a producer's header check -----------------------------------------------------------------


@pytest.mark.parametrize("head, tail", [(0, 65), (10, 5), (2**64 - 1, 64)])
def test_push_refuses_counters_that_cannot_be_right(ring, head, tail):
    name, r = ring
    with open(shm_path(name), "r+b") as f:
        f.write(struct.pack("<QQ", head, tail))
    before = open(shm_path(name), "rb").read()
    for call in (lambda: r.push(b"a"), lambda: r.put(b"a", timeout=0), lambda: r.push_many([b"a"])):
        with pytest.raises(ValueError, match=r"^corrupt ring header: tail - head = \d+ does not fit"):
            call()
    assert open(shm_path(name), "rb").read() == before
