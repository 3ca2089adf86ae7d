"""Threads of one process against each other: close() racing calls that give the interpreter
lock up, objects dropped under a wait, threads still waiting when the program ends, and what
one thread's call does to the collector while another runs. Scenarios that could crash the
process run in a child interpreter, so that a crash fails the test instead of the suite."""

import gc
import mmap
import os
import struct
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import kelparine
from conftest import shm_path

CHILD_TIMEOUT = 120

_PRELUDE = """
import mmap, os, random, struct, sys, threading, time
from kelparine import SharedMemory, SpscRingBuffer
NAME = sys.argv[1]
shm = SharedMemory.create(NAME, int(sys.argv[2]))
with open("/dev/shm" + NAME, "r+b") as segment:   # plays another process on the first page
    foreign = mmap.mmap(segment.fileno(), 4)
SharedMemory.remove(NAME)   # the mappings keep it alive; nothing is left behind
def race(call, attempts, make, closing=lambda obj: obj.close()):
    '''Runs call(obj) in a thread while this thread closes obj; the call must end normally or
    with "... is closed", and close() either closes or refuses with BufferError.'''
    for _ in range(attempts):
        obj = make()
        outcome = []
        def run():
            try:
                call(obj)
                outcome.append("done")
            except ValueError as error:
                assert str(error).endswith(" is closed"), error
                outcome.append("closed")
        thread = threading.Thread(target=run)
        thread.start()
        time.sleep(random.uniform(0, 0.004))
        try:
            closing(obj)
        except BufferError:
            pass
        thread.join()
        assert outcome, "the call raised something else"
"""

_CLOSE_RACES = {
    # pop_many of large messages: one copy without the interpreter lock per message.
    "pop_many": (24 + (8 << 20), """
def make():
    ring = shm.spsc()
    for _ in range(7):
        ring.push(b"x" * (1 << 20))
    return ring
race(lambda ring: ring.pop_many(7), 40, make)
"""),
    # A view's read after a wait for the lock word (held by "another process"): the copy then
    # runs without the interpreter lock, and close() comes just as the wait ends.
    "view-after-lock-wait": (4 + (8 << 20), """
for _ in range(40):
    view, outcome = shm.map(), []
    struct.pack_into("<i", foreign, 0, -1)
    def read():
        try:
            outcome.append(len(view.read_all()))
        except ValueError as error:
            outcome.append(str(error))
    thread = threading.Thread(target=read)
    thread.start()
    time.sleep(0.01)                                   # parked in the wait for the word
    struct.pack_into("<i", foreign, 0, 0)
    while struct.unpack_from("<i", foreign, 0)[0] == 0 and thread.is_alive():
        pass                                           # until it holds the word, shared
    view.close()
    thread.join()
    assert outcome in ([8 << 20], ["MappedView is closed"]), outcome
"""),
    # borrow() of a message that wraps copies it out before lending it.
    "borrow-wrapping": (24 + (32 << 20), """
def make():
    ring = shm.spsc()
    ring.push(b"a" * (24 << 20)); ring.pop()
    ring.push(b"b" * (16 << 20))          # wraps past the end of the data area
    return ring
def borrow(ring):
    with ring.borrow() as buf:
        assert not ring.closed() and len(buf) == 16 << 20
race(borrow, 40, make)
"""),
    # A view made before fork() and used by a thread of the child while the child closes it.
    "fork-child": (4 + (1 << 20), """
view = shm.map()
pid = os.fork()
if pid == 0:
    race(lambda v: [v.read_all() for _ in range(200)], 5, lambda: view if not view.closed() else shm.map())
    os._exit(0)
_, status = os.waitpid(pid, 0)
assert status == 0, f"the child ended with status {status}"
"""),
}


def _run(body, *args):
    module_dir = os.path.dirname(os.path.abspath(kelparine.__file__))
    env = dict(os.environ, PYTHONPATH=module_dir)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body), *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=CHILD_TIMEOUT)


@pytest.mark.parametrize("scenario", sorted(_CLOSE_RACES))
def test_close_waits_for_calls_in_flight_in_other_threads(seg_name, scenario):
    size, body = _CLOSE_RACES[scenario]
    result = _run(_PRELUDE + body, seg_name, size)
    assert result.returncode == 0, result.stderr[-2000:]


def test_select_holds_the_rings_when_the_callers_list_is_emptied(seg_name):
    result = _run(_PRELUDE + """
rings = [shm.spsc()]
def drop():
    time.sleep(0.2)
    rings.clear()                   # the list held the last reference to the ring
threading.Thread(target=drop).start()
assert SpscRingBuffer.select(rings, timeout=1.0) == []
""", seg_name, 24 + 64)
    assert result.returncode == 0, result.stderr[-2000:]


def test_a_thread_still_waiting_when_the_program_ends_does_not_abort_it(seg_name):
    result = _run(_PRELUDE + """
ring = shm.spsc()
threading.Thread(target=ring.get, daemon=True).start()
state = [{"k": i} for i in range(1_000_000)]   # takes a moment to free at exit
time.sleep(0.1)
""", seg_name, 24 + 64)
    assert result.returncode == 0, result.stderr[-2000:]


# ---------------------------------------------------------------------------------------------
# The collector, paused by calls that decode under a hold



@pytest.fixture
def collector():
    """The collector on, as a program starts; its setting and thresholds restored afterwards."""
    enabled, thresholds = gc.isenabled(), gc.get_threshold()
    gc.enable()
    yield
    gc.set_threshold(*thresholds)
    (gc.enable if enabled else gc.disable)()


def maps_held_elsewhere(make_segment, count):
    """`count` views of a fresh 4 KiB segment whose lock word a foreign process then holds
    exclusively, and that word through a plain mapping of the segment's file (write 0 to let
    go). The word is taken after the maps: a creator's map() resets it."""
    name, segment = make_segment(4 + 4096)
    views = [segment.map() for _ in range(count)]
    fd = os.open(shm_path(name), os.O_RDWR)
    word = mmap.mmap(fd, 4)
    os.close(fd)
    struct.pack_into("<i", word, 0, -1)
    return views, word


def watch_collector(stop):
    """Samples gc.isenabled() in a thread until `stop` is set: (thread, samples)."""
    samples = []

    def watch():
        while not stop.is_set():
            samples.append(gc.isenabled())
            time.sleep(0.001)

    thread = threading.Thread(target=watch)
    thread.start()
    return thread, samples


def test_read_mixed_wait_leaves_the_collector_setting_alone(make_segment, collector):
    (view,), word = maps_held_elsewhere(make_segment, 1)
    reader = threading.Thread(target=view.read_mixed, args=([("i64", 1)], 0))
    reader.start()
    stop = threading.Event()
    watcher, samples = watch_collector(stop)
    try:
        time.sleep(0.3)  # the reader waits for the word meanwhile
        stop.set()
        watcher.join()
        gc.disable()  # the program's choice, made while the reader still waits
    finally:
        word[:4] = bytes(4)
    reader.join(30)
    assert all(samples) and not reader.is_alive() and not gc.isenabled()


def test_pop_many_long_copies_leave_the_collector_setting_alone(make_segment, collector):
    ring = make_segment(24 + (8 << 20))[1].spsc()
    stop = threading.Event()
    watcher, samples = watch_collector(stop)
    message = b"x" * (600 << 10)  # copied out with the interpreter lock given up
    for _ in range(20):
        ring.push_many([message] * 12)
        assert len(ring.pop_many(12)) == 12
    stop.set()
    watcher.join()
    assert all(samples)


def test_overlapping_read_mixed_calls_never_collect_under_a_hold(make_segment, collector):
    # A and B both wait for their lock words; A ends first. B's decoding must still be free of
    # collections: a finalizer run there, writing to B's segment, would wait for B's own hold.
    (view_a,), word_a = maps_held_elsewhere(make_segment, 1)
    (view_b, writer), word_b = maps_held_elsewhere(make_segment, 2)
    writer.set_lock_timeout(5.0)  # bounds the deadlock, were there one
    failures, armed = [], [True]

    class Cycle:
        def __del__(self):
            if not armed[0]:
                return
            if threading.current_thread() is not thread_b:  # collected elsewhere: garbage for B
                again = Cycle()
                again.self = again
                return
            try:
                writer.write(b"!", 0)
            except Exception as error:
                failures.append(error)

    thread_a = threading.Thread(target=view_a.read_mixed, args=([("u8", 8)], 0))
    thread_b = threading.Thread(target=view_b.read_mixed, args=([("u8", 16)] * 200, 0))
    try:
        thread_a.start()
        time.sleep(0.1)
        thread_b.start()
        time.sleep(0.1)
        word_a[:4] = bytes(4)
        thread_a.join(30)
        assert gc.isenabled()  # as the program set it, with B still waiting
        gc.set_threshold(1)  # a collection at the next container allocation
        cycle = Cycle()
        cycle.self = cycle
        del cycle
        word_b[:4] = bytes(4)
        thread_b.join(30)
        assert not thread_b.is_alive() and failures == []
    finally:
        armed[0] = False
        word_a[:4] = word_b[:4] = bytes(4)
