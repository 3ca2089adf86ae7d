"""The locked view across real processes (fork and spawn).

A "foreign holder" is simulated by storing a value into the lock word through a plain mmap of
the segment file, exactly as another process following the same protocol would leave it. The
children open the segment (never create it), so their map() leaves the word alone.
"""

import contextlib
import ctypes
import mmap
import os
import signal
import sys
import time

import pytest

import kelparine
from conftest import shm_path

TIMEOUT = 10.0  # generous upper bound for a child to start or finish; a hang fails instead
STILL_BLOCKED = 0.3  # how long a waiter is given to (wrongly) get through
INTERRUPTED = 42  # exit status of a child that left its wait through KeyboardInterrupt
SENTINEL = 0x5A


class RawSegment:
    """The whole segment through a plain mmap: the lock word and the data area, no lock taken.

    The word is stored with one aligned 4-byte store (ctypes), as a foreign process would.
    struct.pack_into is no good here: it zero-fills the target first and then writes byte by
    byte, so a waiter spinning in another process can see a transient 0 and get in.
    """

    def __init__(self, name):
        fd = os.open(shm_path(name), os.O_RDWR)
        try:
            self._map = mmap.mmap(fd, os.fstat(fd).st_size)
        finally:
            os.close(fd)
        self._word = ctypes.c_int32.from_buffer(self._map)

    @property
    def word(self):
        return self._word.value

    @word.setter
    def word(self, value):
        self._word.value = value

    def data(self):
        return self._map[4:]

    def fill(self, byte):
        self._map[4:] = bytes([byte]) * (len(self._map) - 4)

    def close(self):
        del self._word  # the mmap cannot close while ctypes holds its buffer
        self._map.close()


@pytest.fixture
def segment(make_segment):
    """(name, creator's view, raw access); the data area is SENTINEL everywhere."""
    name, shm = make_segment(4096)
    view = shm.map()
    raw = RawSegment(name)
    raw.fill(SENTINEL)
    yield name, view, raw
    raw.word = 0
    raw.close()


class Child:
    """A child process that is always reaped: killed if it is still running at the end."""

    def __init__(self, ctx, target, *args):
        self.process = ctx.Process(target=target, args=args, daemon=True)

    def __enter__(self):
        self.process.start()
        return self.process

    def __exit__(self, *exc):
        if self.process.is_alive():
            self.process.kill()
        self.process.join(TIMEOUT)


# Operations a child performs on its view; cursor-mode writes and reads at cursor 0.
OPS = {
    "write": lambda v: v.write(b"W" * 16),
    "write_mixed": lambda v: v.write_mixed([7, "x"]),
    "zero": lambda v: v.zero(),
    "read": lambda v: v.read("u8"),
    "read_mixed": lambda v: v.read_mixed([("u8", 2)]),
    "read_all": lambda v: v.read_all(),
}


def open_view(name):
    return kelparine.SharedMemory.open(name).map()


def run_op(name, op, ready):
    view = open_view(name)
    ready.set()
    result = OPS[op](view)
    # The exit status carries the first byte read, so the parent can check what was seen.
    sys.exit(result if isinstance(result, int) else 0)


def run_interruptible_op(name, op, ready):
    view = open_view(name)
    ready.set()
    try:
        OPS[op](view)
    except KeyboardInterrupt:
        sys.exit(INTERRUPTED if view.tell() == 0 else 1)
    sys.exit(2)  # the operation got through a hold it should have waited for


UNTOUCHED = bytes([SENTINEL]) * 4092
AFTER = {
    "write": b"W" * 16 + UNTOUCHED[16:],
    "zero": bytes(4092),
    "read": UNTOUCHED,
}


@pytest.mark.parametrize(
    "op, held, released, status",
    [
        ("write", -1, 0, 0),
        ("write", 3, 0, 0),
        ("zero", 1, 0, 0),
        ("read", -1, 0, SENTINEL),
        # Other readers came in when the writer left: the waiter joins them and leaves again.
        ("read", -1, 2, SENTINEL),
        # A negative value other than -1 is never produced, but still keeps readers out.
        ("read", -2, 0, SENTINEL),
    ],
)
def test_waiter_blocks_until_foreign_hold_is_released(mp_context, segment, op, held, released, status):
    name, _, raw = segment
    raw.word = held
    ready = mp_context.Event()
    with Child(mp_context, run_op, name, op, ready) as child:
        assert ready.wait(TIMEOUT)
        child.join(STILL_BLOCKED)
        assert child.is_alive(), "got past a hold held by another process"
        assert raw.data() == UNTOUCHED
        raw.word = released
        child.join(TIMEOUT)
        assert child.exitcode == status
    assert raw.word == released
    assert raw.data() == AFTER[op]


@pytest.mark.parametrize(
    "op, held",
    [("write", -1), ("write", 2), ("zero", -1), ("read", -1), ("read_mixed", -1)],
)
def test_sigint_abandons_the_wait_without_taking_a_hold(mp_context, segment, op, held):
    name, _, raw = segment
    raw.word = held
    ready = mp_context.Event()
    with Child(mp_context, run_interruptible_op, name, op, ready) as child:
        assert ready.wait(TIMEOUT)
        child.join(STILL_BLOCKED)
        assert child.is_alive(), "got past a hold held by another process"
        os.kill(child.pid, signal.SIGINT)
        child.join(TIMEOUT)
        assert child.exitcode == INTERRUPTED
    assert raw.word == held
    assert raw.data() == UNTOUCHED


def write_uniform_blocks(name, fill, start, results):
    view = open_view(name)
    block = bytes([fill]) * view.size()
    start.wait(TIMEOUT)
    deadline = time.monotonic() + 1.0
    writes = 0
    while time.monotonic() < deadline:
        view.write(block, 0)
        writes += 1
    results.put(("writer", writes, 0, ()))


def read_and_check_uniform(name, start, results):
    view = open_view(name)
    start.wait(TIMEOUT)
    deadline = time.monotonic() + 1.0
    reads = torn = 0
    seen = set()
    while time.monotonic() < deadline:
        data = view.read_all() if reads % 2 else view.read_range(1000, 3000)
        reads += 1
        if data.count(data[0]) != len(data):
            torn += 1
        seen.add(data[0])
    results.put(("reader", reads, torn, tuple(seen)))


def test_readers_never_see_a_torn_write(mp_context, make_segment):
    name, shm = make_segment(4 + 64 * 1024)
    shm.map()
    # Everyone (the parent too) passes the barrier once mapped, so the runs overlap.
    start, results = mp_context.Barrier(5), mp_context.Queue()
    with contextlib.ExitStack() as stack:
        processes = [stack.enter_context(Child(mp_context, write_uniform_blocks, name, fill, start, results))
                     for fill in (1, 2)]
        processes += [stack.enter_context(Child(mp_context, read_and_check_uniform, name, start, results))
                      for _ in range(2)]
        start.wait(TIMEOUT)
        reports = [results.get(timeout=TIMEOUT) for _ in processes]
        for process in processes:
            process.join(TIMEOUT)
            assert process.exitcode == 0
    readers = [r for r in reports if r[0] == "reader"]
    writers = [r for r in reports if r[0] == "writer"]
    assert all(torn == 0 for _, _, torn, _ in readers)
    assert all(reads > 0 for _, reads, _, _ in readers)
    assert all(writes > 0 for _, writes, _, _ in writers)
    # The area starts zeroed: a nonzero block means writes landed while the readers ran.
    assert {fill for *_, seen in readers for fill in seen} - {0}, "no read overlapped the writes"
    raw = RawSegment(name)
    assert raw.word == 0
    raw.close()


def write_forever(name, ready):
    view = open_view(name)
    block = b"\x11" * view.size()
    ready.set()
    while True:
        view.write(block, 0)  # the exclusive hold is in force nearly all the time


def test_creator_map_clears_word_left_by_killed_writer(mp_context, make_segment):
    name, shm = make_segment(4 + 4 * 1024 * 1024)
    shm.map()
    raw = RawSegment(name)
    try:
        for _ in range(10):  # a kill lands inside the hold almost always; retry if it did not
            ready = mp_context.Event()
            with Child(mp_context, write_forever, name, ready) as child:
                assert ready.wait(TIMEOUT)
                deadline = time.monotonic() + TIMEOUT
                while raw.word != -1 and time.monotonic() < deadline:
                    pass
                os.kill(child.pid, signal.SIGKILL)
                child.join(TIMEOUT)
                assert child.exitcode == -signal.SIGKILL
            if raw.word == -1:
                break
        assert raw.word == -1, "never killed the writer while it held the lock"

        kelparine.SharedMemory.open(name).map()
        assert raw.word == -1  # an opener leaves the stale hold alone

        view = shm.map()
        assert raw.word == 0
        assert view.is_write_locked() is False

        ready = mp_context.Event()
        with Child(mp_context, run_op, name, "write", ready) as child:
            child.join(TIMEOUT)
            assert child.exitcode == 0
        assert raw.data()[:16] == b"W" * 16
        assert raw.word == 0
    finally:
        raw.word = 0
        raw.close()
