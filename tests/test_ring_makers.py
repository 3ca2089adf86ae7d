"""SpscRingBuffer.create and SpscRingBuffer.open: rings made and opened by their data capacity,
across real processes; the exact errors of bad capacities, names and headers; and no segment,
descriptor or mapping left behind by a call that fails."""

import gc
import mmap
import os
import re
import struct

import pytest

import kelparine
from conftest import shm_path, take_reusable_heap, unique_name

SharedMemory = kelparine.SharedMemory
SpscRingBuffer = kelparine.SpscRingBuffer
DEADLINE_S = 30.0
MAX = 2**62


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def ours():
    """This process's segments (conftest names them kelparine-test-<pid>-...): other test runs
    on the host may make and remove their own meanwhile."""
    return sorted(n for n in os.listdir("/dev/shm") if n.startswith(f"kelparine-test-{os.getpid()}-"))


def mappings():
    with open("/proc/self/maps") as maps:
        return sum(1 for _ in maps)


def held():
    """This process's segments, descriptors and mappings, once earlier tests' garbage is gone."""
    gc.collect()
    return ours(), open_fds(), mappings()


def test_create_makes_the_segment_for_the_capacity_and_open_finds_it(seg_name):
    gc.collect()
    fds = open_fds()
    ring = SpscRingBuffer.create(seg_name, Index(1024), 0o600, exclusive=True)
    assert repr(ring) == "SpscRingBuffer(capacity=1024, used=0, free=1024)"
    st = os.stat(shm_path(seg_name))
    assert (st.st_size, st.st_mode & 0o7777) == (24 + 1024, 0o600)
    assert ring.push(b"pending")
    other = SpscRingBuffer.open(name=seg_name)
    assert (other.capacity(), other.pop()) == (1024, b"pending")
    with pytest.raises(FileExistsError, match="^EEXIST: File exists$"):
        SpscRingBuffer.create(seg_name, 1024, exclusive=True)
    ring.close(), other.close()
    assert open_fds() == fds  # no handle was left open along the way


CAPACITY = "data capacity ({}) must be a power of two{}; try {}"
# (name, capacity, keyword arguments, exception, exact message); None stands for a fresh name.
CREATE_ERRORS = [
    (None, 0, {}, ValueError, CAPACITY.format(0, " of at least 8", 8)),
    (None, 4, {}, ValueError, CAPACITY.format(4, " of at least 8", 8)),
    (None, 7, {}, ValueError, CAPACITY.format(7, " of at least 8", 8)),
    (None, 1000, {}, ValueError, CAPACITY.format(1000, "", "512 or 1024")),
    (None, Index(4097), {}, ValueError, CAPACITY.format(4097, "", "4096 or 8192")),
    (None, MAX + 1, {}, ValueError, CAPACITY.format(MAX + 1, f" of at most {MAX}", MAX)),
    (None, 2**63, {}, ValueError, CAPACITY.format(2**63, f" of at most {MAX}", MAX)),
    (None, 2**64 - 1, {}, ValueError, CAPACITY.format(2**64 - 1, f" of at most {MAX}", MAX)),
    (None, 2**64, {}, OverflowError, "int too big to convert"),
    (None, -8, {}, OverflowError, "can't convert negative int to unsigned"),
    (None, True, {}, TypeError, "'capacity' must be an integer, not 'bool'"),
    (None, 8.0, {}, TypeError, "'capacity' must be an integer, not 'float'"),
    (None, 64, {"mode": 0o10000}, ValueError, "mode must be between 0 and 0o7777, not 0o10000"),
    ("jobs", 1000, {}, ValueError, CAPACITY.format(1000, "", "512 or 1024")),  # the capacity first
    ("jobs", 64, {}, ValueError, "name must start with '/' (e.g. \"/my_segment\")"),
    ("/", 64, {}, ValueError, "name must have at least one character after '/'"),
    (7, 64, {}, TypeError, "'name' must be str, not 'int'"),
    ("/inner/slash", 64, {}, OSError, "EINVAL: Invalid argument"),
]


@pytest.mark.parametrize("name, capacity, kwargs, error, message", CREATE_ERRORS,
                         ids=[f"{i}-{e.__name__}" for i, (_, _, _, e, _) in enumerate(CREATE_ERRORS)])
def test_create_refuses_and_leaves_nothing(seg_name, name, capacity, kwargs, error, message):
    name = seg_name if name is None else name
    before = held()
    with pytest.raises(error, match=f"^{re.escape(message)}$"):
        SpscRingBuffer.create(name, capacity, **kwargs)
    assert held() == before


def _segment(name, size, capacity=None):
    """A plain segment of `size` bytes, with `capacity` written into a ring header if given."""
    SharedMemory.create(name, size)
    if capacity is not None:
        with open(shm_path(name), "r+b") as f, mmap.mmap(f.fileno(), size) as m:
            m[16:24] = struct.pack("<Q", capacity)


NO_RING = ("no ring in '{}' yet: its header reads capacity 0 (open it after SpscRingBuffer.create() or the "
           "creator's spsc() has returned)")
CORRUPT = "corrupt ring header: capacity {} is not a power of two within the mapped data area of 1024 bytes"
# (segment size or None for none, header capacity, exception, exact message with {} for the name)
OPEN_ERRORS = [
    (None, None, FileNotFoundError, "ENOENT: No such file or directory"),
    (24, None, ValueError, "map_size must be > 24 bytes (spsc header)"),
    (24 + 1024, None, ValueError, NO_RING),
    (24 + 1024, 1000, ValueError, CORRUPT.format(1000)),
    (24 + 1024, 2048, ValueError, CORRUPT.format(2048)),
    (24 + 1024, 2**63, ValueError, CORRUPT.format(2**63)),
]


@pytest.mark.parametrize("size, capacity, error, message", OPEN_ERRORS)
def test_open_refuses_what_holds_no_ring_and_leaves_nothing(seg_name, size, capacity, error, message):
    if size is not None:
        _segment(seg_name, size, capacity)
    before = held()
    with pytest.raises(error, match=f"^{re.escape(message.format(seg_name))}$"):
        SpscRingBuffer.open(seg_name)
    assert held() == before


@pytest.mark.parametrize("name, error", [("jobs", ValueError), (b"/jobs", TypeError)])
def test_open_refuses_bad_names(name, error):
    with pytest.raises(error):
        SpscRingBuffer.open(name)


def test_open_takes_a_smaller_ring_within_the_segment(seg_name):
    # A segment grown past its ring (create() never shrinks one) still holds that ring.
    _segment(seg_name, 24 + 1024, 512)
    assert SpscRingBuffer.open(seg_name).capacity() == 512


def _create_without_address_space(names, conn):
    """Child: with 32 MiB of address space left, a 64 MiB ring cannot be mapped."""
    import resource

    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    with open("/proc/self/status") as status:
        vm_size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (vm_size + (32 << 20), hard))
    hoard = take_reusable_heap()
    report = {}
    before = open_fds(), mappings()
    for name in names:
        try:
            SpscRingBuffer.create(name, 64 << 20)
            report[name] = "made"
        except OSError as error:
            report[name] = (str(error), os.path.exists(shm_path(name)))
    report["nothing_held"] = (open_fds(), mappings()) == before
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    del hoard
    conn.send(report)


def test_a_ring_that_cannot_be_mapped_removes_only_the_segment_it_created(mp_context, seg_name):
    existing = unique_name("existing")
    SharedMemory.create(existing, 64)
    try:
        receive, send = mp_context.Pipe(duplex=False)
        child = mp_context.Process(target=_create_without_address_space, args=([seg_name, existing], send))
        child.start()
        assert receive.poll(DEADLINE_S), "the child died"
        report = receive.recv()
        child.join(DEADLINE_S)
    finally:
        SharedMemory.remove(existing)
    assert report == {seg_name: ("ENOMEM: Out of memory", False), existing: ("ENOMEM: Out of memory", True),
                      "nothing_held": True}


def _consume(name, conn):
    ring = SpscRingBuffer.open(name)
    got = []
    try:
        while True:
            got.append(ring.get(timeout=DEADLINE_S))
    except EOFError:  # the producer closed its ring after its last message
        conn.send(got)


def test_round_trip_across_processes(mp_context, seg_name):
    # 64 data bytes, so the 300 messages wrap the ring many times and the producer waits.
    ring = SpscRingBuffer.create(seg_name, 64)
    messages = [bytes([i % 251]) * (i % 40) for i in range(300)]
    ring.put(messages[0])  # pending before the consumer opens the ring
    receive, send = mp_context.Pipe(duplex=False)
    child = mp_context.Process(target=_consume, args=(seg_name, send))
    child.start()
    for message in messages[1:]:
        ring.put(message, timeout=DEADLINE_S)
    ring.close()
    assert receive.poll(DEADLINE_S), "the consumer died"
    assert receive.recv() == messages
    child.join(DEADLINE_S)
    assert child.exitcode == 0
