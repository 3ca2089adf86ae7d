"""A ring shared by real processes: a producer and a consumer in different processes (started
by fork and by spawn) exchange many messages, none lost, reordered or corrupted. One side may
be a foreign peer that knows nothing but the byte layout of the segment."""

import mmap
import os
import random
import struct
import time
import zlib

import pytest

import kelparine
from conftest import shm_path

DEADLINE_S = 30.0  # a hang fails the test instead of blocking it
U64 = 2**64


class ForeignRing:
    """A ring peer written from the segment layout alone: u64 head, tail and capacity at bytes 0,
    8 and 16, then a power-of-two data area of frames (u32 little-endian length + payload)
    wrapping anywhere. Counters are read and written as whole aligned 8-byte words (a native
    'Q' item of a memoryview is one load or store on x86-64), so the other side never sees a
    torn counter; the data is written before tail is stored, and copied out before head is."""

    def __init__(self, name):
        with open(shm_path(name), "r+b") as f:
            self._map = mmap.mmap(f.fileno(), 0)
        self._counters = memoryview(self._map)[:24].cast("Q")
        self._capacity = self._counters[2]
        self._mask = self._capacity - 1
        self._data = memoryview(self._map)[24 : 24 + self._capacity]

    def _write(self, pos, chunk):
        start = pos & self._mask
        first = min(len(chunk), self._capacity - start)
        self._data[start : start + first] = chunk[:first]
        self._data[: len(chunk) - first] = chunk[first:]

    def _read(self, pos, n):
        start = pos & self._mask
        first = min(n, self._capacity - start)
        return bytes(self._data[start : start + first]) + bytes(self._data[: n - first])

    def push(self, payload):
        frame_len = 4 + len(payload)
        assert frame_len <= self._capacity
        head, tail = self._counters[0], self._counters[1]
        if (tail - head) % U64 + frame_len > self._capacity:
            return False
        self._write(tail, struct.pack("<I", len(payload)) + payload)
        self._counters[1] = (tail + frame_len) % U64
        return True

    def pop(self):
        head, tail = self._counters[0], self._counters[1]
        if head == tail:
            return None
        (n,) = struct.unpack("<I", self._read(head, 4))
        assert 4 + n <= (tail - head) % U64, f"frame of {n} bytes runs past tail"
        payload = self._read(head + 4, n)
        self._counters[0] = (head + 4 + n) % U64
        return payload

    def close(self):
        self._counters.release()
        self._data.release()
        self._map.close()


def open_ring(impl, name):
    if impl == "kelparine":
        return kelparine.SharedMemory.open(name).spsc()
    return ForeignRing(name)


def messages(seed, count, max_len):
    """The agreed stream: a sequence number, random bytes and a CRC-32 of both; every 50th
    message is empty. Both sides generate it from the same seed."""
    rng = random.Random(seed)
    for seq in range(count):
        if seq % 50 == 7:
            yield b""
            continue
        body = struct.pack("<I", seq) + rng.randbytes(rng.randrange(0, max_len - 8 + 1))
        yield body + struct.pack("<I", zlib.crc32(body))


def describe(seq, got, want):
    if len(got) >= 8 and zlib.crc32(got[:-4]) == struct.unpack("<I", got[-4:])[0]:
        (got_seq,) = struct.unpack_from("<I", got)
        return f"message {seq}: intact message {got_seq} arrived instead (lost or reordered)"
    return f"message {seq}: corrupted ({len(got)} bytes, expected {len(want)})"


def produce(impl, name, seed, count, max_len):
    ring = open_ring(impl, name)
    deadline = time.monotonic() + DEADLINE_S
    for payload in messages(seed, count, max_len):
        while not ring.push(payload):
            if time.monotonic() > deadline:
                raise TimeoutError("producer: the ring stayed full")
            os.sched_yield()


def consume(impl, name, seed, count, max_len):
    ring = open_ring(impl, name)
    deadline = time.monotonic() + DEADLINE_S
    for seq, want in enumerate(messages(seed, count, max_len)):
        while (got := ring.pop()) is None:
            if time.monotonic() > deadline:
                raise TimeoutError(f"consumer: message {seq} never came")
            os.sched_yield()
        assert got == want, describe(seq, got, want)
    assert ring.pop() is None, "no message beyond the last one sent"
    return ring


SIDES = {"producer": produce, "consumer": consume}


@pytest.mark.parametrize(
    "producer_impl, consumer_impl, child_side, capacity, count, max_len",
    [
        # Both sides kelparine, either one in the child, over a ring that wraps many times.
        ("kelparine", "kelparine", "producer", 1024, 50_000, 200),
        ("kelparine", "kelparine", "consumer", 1024, 50_000, 200),
        # A foreign peer on either side; frames as large as the whole 64-byte ring and length
        # prefixes split across its end.
        ("foreign", "kelparine", "producer", 64, 5_000, 60),
        ("kelparine", "foreign", "producer", 64, 5_000, 60),
    ],
)
def test_messages_cross_processes_intact(
    make_segment, mp_context, producer_impl, consumer_impl, child_side, capacity, count, max_len
):
    name, shm = make_segment(24 + capacity)
    creator = shm.spsc()
    # Start both counters just below 2^64 so they wrap around during the exchange.
    start = U64 - 5000
    with open(shm_path(name), "r+b") as f, mmap.mmap(f.fileno(), 24) as m:
        struct.pack_into("<QQ", m, 0, start, start)
    seed = random.randrange(2**32)

    impls = {"producer": producer_impl, "consumer": consumer_impl}
    parent_side = "consumer" if child_side == "producer" else "producer"
    args = (name, seed, count, max_len)
    child = mp_context.Process(target=SIDES[child_side], args=(impls[child_side], *args))
    child.start()
    try:
        SIDES[parent_side](impls[parent_side], *args)
        child.join(DEADLINE_S + 10)
        assert not child.is_alive(), f"{child_side} child hung"
        assert child.exitcode == 0, f"{child_side} child failed (seed {seed})"
    finally:
        if child.is_alive():
            child.kill()
            child.join()
    assert creator.is_empty()
    with open(shm_path(name), "rb") as f:
        head, tail, cap = struct.unpack("<QQQ", f.read(24))
    assert head == tail and cap == capacity
    assert head < start, "the counters wrapped past 2^64"
