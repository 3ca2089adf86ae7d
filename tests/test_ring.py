"""SpscRingBuffer in one process: what spsc() maps and initialises, the payload each pushed
value becomes, popping raw, by tag and by schema, the size views and the representation, and
how a ring copes with a header or frame that its peers did not write properly."""

import gc
import mmap
import multiprocessing as mp
import resource
import struct
from contextlib import contextmanager

import pytest

import kelparine
from conftest import shm_path, take_reusable_heap

SharedMemory = kelparine.SharedMemory
SpscRingBuffer = kelparine.SpscRingBuffer

TOO_LARGE = "message too large: frame_len={} > capacity={}                  (map_size={})"
UNSUPPORTED = ("unsupported type '{}'; supported: bool, int, float, str, bytes, bytearray, and objects exporting a "
               "C-contiguous buffer")
UNKNOWN_TAG = "unknown type tag '{}'; supported: bool, int, float, f32, f64, i32, i64, u8, u32, u64, str"


@pytest.fixture
def new_ring(make_segment):
    """new_ring(capacity) -> (name, creator's ring with that data capacity)."""

    def make(capacity=1024):
        name, shm = make_segment(24 + capacity)
        return name, shm.spsc()

    return make


@pytest.fixture
def ring(new_ring):
    return new_ring(1024)[1]


@contextmanager
def raw_segment(name):
    """The segment's bytes through a plain mapping of its /dev/shm file, as a foreign peer sees them."""
    with open(shm_path(name), "r+b") as f, mmap.mmap(f.fileno(), 0) as m:
        yield m


def header(name):
    with raw_segment(name) as m:
        return struct.unpack_from("<QQQ", m, 0)


def set_header(name, head, tail, capacity):
    with raw_segment(name) as m:
        struct.pack_into("<QQQ", m, 0, head, tail, capacity)


def segment_bytes(name):
    with open(shm_path(name), "rb") as f:
        return f.read()


def mappings_of(name):
    """How many mappings of the segment this process holds."""
    with open("/proc/self/maps") as f:
        return sum(1 for line in f if ("/dev/shm" + name) in line)


# ---------------------------------------------------------------------------------------------
# spsc(): size checks, initialisation by the creator, trust by an opener


class TestSpsc:
    @pytest.mark.parametrize("size", [1, 24])
    def test_segment_no_larger_than_header_is_refused(self, make_segment, size):
        name, shm = make_segment(size)
        with pytest.raises(ValueError, match=r"^map_size must be > 24 bytes \(spsc header\)$"):
            shm.spsc()
        with pytest.raises(ValueError, match=r"^map_size must be > 24 bytes \(spsc header\)$"):
            SharedMemory.open(name).spsc()
        assert mappings_of(name) == 0

    def test_opened_segment_of_size_zero_is_a_size_error(self, seg_name):
        open(shm_path(seg_name), "wb").close()  # exists, never sized
        shm = SharedMemory.open(seg_name)
        assert shm.size() == 0
        with pytest.raises(ValueError, match=r"^map_size must be > 24 bytes \(spsc header\)$"):
            shm.spsc()

    @pytest.mark.parametrize(
        "size, message",
        [
            (4096, "data capacity (4072) must be a power of two; try 2048 or 4096"),
            (27, "data capacity (3) must be a power of two; try 2 or 4"),
            (24 + 1000, "data capacity (1000) must be a power of two; try 512 or 1024"),
        ],
    )
    def test_creator_needs_power_of_two_capacity(self, make_segment, size, message):
        name, shm = make_segment(size)
        with raw_segment(name) as m:
            m[:] = bytes(range(256)) * (size // 256) + bytes(range(size % 256))
        before = segment_bytes(name)
        for _ in range(3):
            with pytest.raises(ValueError) as info:
                shm.spsc()
            assert str(info.value) == message
        assert segment_bytes(name) == before
        assert mappings_of(name) == 0, "a refused spsc() leaves nothing mapped"

    @pytest.mark.parametrize("capacity", [1, 2, 4096])
    def test_creator_initialises_an_empty_ring(self, make_segment, capacity):
        name, shm = make_segment(24 + capacity)
        set_header(name, 77, 99, 12345)
        ring = shm.spsc()
        assert type(ring) is SpscRingBuffer
        assert header(name) == (0, 0, capacity)
        assert (ring.capacity(), ring.used(), ring.free()) == (capacity, 0, capacity)
        assert ring.is_empty() and not ring.is_full()

    def test_opener_leaves_header_bytes_untouched(self, make_segment):
        name, shm = make_segment(4096)  # 4072 is no power of two: an opener does not check it
        with raw_segment(name) as m:
            m[:48] = bytes(range(48))
        before = segment_bytes(name)
        opener = SharedMemory.open(name)
        rings = [opener.spsc(), opener.spsc()]
        assert segment_bytes(name) == before
        assert rings[0].capacity() == int.from_bytes(bytes(range(16, 24)), "little")

    def test_second_spsc_on_creator_empties_the_ring(self, make_segment):
        name, shm = make_segment(24 + 64)
        first = shm.spsc()
        assert first.push(b"one") and first.push(b"two")
        second = shm.spsc()
        assert first.is_empty() and second.is_empty()
        assert header(name) == (0, 0, 64)
        assert first.pop() is None

    def test_opener_rings_are_views_of_the_same_ring(self, make_segment):
        name, shm = make_segment(24 + 64)
        producer = shm.spsc()
        opener = SharedMemory.open(name)
        consumer_a, consumer_b = opener.spsc(), opener.spsc()
        assert producer.push(b"one") and producer.push(b"two")
        assert consumer_a.pop() == b"one"
        assert consumer_b.pop() == b"two"
        assert producer.is_empty()

    def test_ring_outlives_its_handle_and_the_name(self, make_segment):
        name, shm = make_segment(24 + 64)
        ring = shm.spsc()
        peer = SharedMemory.open(name).spsc()
        del shm
        gc.collect()
        assert ring.push(b"after del")
        SharedMemory.remove(name)
        assert ring.push(b"after remove")
        assert peer.pop() == b"after del"
        assert peer.pop() == b"after remove"
        assert ring.is_empty()

    def test_ring_unmaps_when_collected(self, make_segment):
        name, shm = make_segment(24 + 4096)
        for _ in range(200):
            ring = shm.spsc()
            ring.push(b"x")
            assert mappings_of(name) == 1
            del ring
        assert mappings_of(name) == 0
        # The contents stay in the segment for the next ring.
        assert SharedMemory.open(name).spsc().pop() == b"x"


# ---------------------------------------------------------------------------------------------
# push: the payload each value becomes


class MyBytes(bytes):
    pass


class MyList(list):
    pass


def i64(v):
    return struct.pack("<q", v)


def f64(v):
    return struct.pack("<d", v)


PAYLOADS = [
    pytest.param(b"abc", b"abc", id="bytes"),
    pytest.param(bytearray(b"ab"), b"ab", id="bytearray"),
    pytest.param(MyBytes(b"sub"), b"sub", id="bytes-subclass"),
    pytest.param(b"", b"", id="empty-bytes"),
    pytest.param("hi", b"\x02\x00\x00\x00hi", id="str"),
    pytest.param("", b"\x00\x00\x00\x00", id="empty-str"),
    pytest.param("é", b"\x02\x00\x00\x00\xc3\xa9", id="str-utf8"),
    pytest.param(1, i64(1), id="int"),
    pytest.param(-2**63, i64(-2**63), id="int-min"),
    pytest.param(True, b"\x01", id="true"),
    pytest.param(False, b"\x00", id="false"),
    pytest.param(1.5, f64(1.5), id="float"),
    pytest.param([1, 2.5, True, "hi"], i64(1) + f64(2.5) + b"\x01" + b"\x02\x00\x00\x00hi", id="list"),
    pytest.param([b"ab", bytearray(b"c"), ""], b"abc\x00\x00\x00\x00", id="list-of-bytes"),
    pytest.param(MyList([7]), i64(7), id="list-subclass"),
    pytest.param((1, 2), i64(1) + i64(2), id="tuple"),
    pytest.param(memoryview(b"ab"), b"ab", id="memoryview"),
    pytest.param([], b"", id="empty-list"),
]


@pytest.mark.parametrize("value, payload", PAYLOADS)
def test_push_writes_encoded_payload_and_pop_returns_it_as_bytes(ring, value, payload):
    assert ring.push(value) is True
    assert ring.used() == len(payload) + 4
    popped = ring.pop()
    assert type(popped) is bytes
    assert popped == payload
    assert ring.is_empty()


def test_mixed_list_is_a_23_byte_payload(ring):
    assert ring.push([1, 2.5, True, "hi"])
    assert ring.used() == 27


@pytest.mark.parametrize(
    "value, error, message",
    [
        (None, ValueError, UNSUPPORTED.format("NoneType")),
        ([1, [2]], ValueError, UNSUPPORTED.format("list")),
        ([1, (2,)], ValueError, UNSUPPORTED.format("tuple")),
        ({"a": 1}, ValueError, UNSUPPORTED.format("dict")),
        ([b"ok", None], ValueError, UNSUPPORTED.format("NoneType")),
        (2**63, OverflowError, None),
        ([1, -2**63 - 1], OverflowError, None),
        ("\udc80", UnicodeEncodeError, None),
        (["ok", "\ud800"], UnicodeEncodeError, None),
    ],
)
def test_unencodable_push_writes_nothing(new_ring, value, error, message):
    name, ring = new_ring(64)
    assert ring.push(b"first")
    before = segment_bytes(name)
    with pytest.raises(error) as info:
        ring.push(value)
    if message is not None:
        assert str(info.value) == message
    assert segment_bytes(name) == before
    assert ring.used() == 9
    assert ring.pop() == b"first" and ring.pop() is None


def test_exact_fill_then_back_pressure_then_too_large(new_ring):
    name, ring = new_ring(4096)
    assert ring.push(bytes(4092)) is True
    assert ring.is_full() and ring.free() == 0 and ring.used() == 4096
    before = segment_bytes(name)
    assert ring.push(b"") is False
    assert segment_bytes(name) == before
    with pytest.raises(ValueError) as info:
        ring.push(bytes(4093))
    assert str(info.value) == TOO_LARGE.format(4097, 4096, 4120)
    assert ring.pop() == bytes(4092)
    with pytest.raises(ValueError) as info:
        ring.push(bytes(4093))  # the same on an empty ring
    assert str(info.value) == TOO_LARGE.format(4097, 4096, 4120)
    assert ring.is_empty()


def test_too_large_counts_the_encoded_payload(new_ring):
    _, ring = new_ring(16)
    with pytest.raises(ValueError) as info:
        ring.push("twelve bytes")  # 4 + 12 bytes of payload, 20-byte frame
    assert str(info.value) == TOO_LARGE.format(20, 16, 40)
    assert ring.push([1]) and ring.pop("int") == 1  # 12-byte frame fits


def test_capacity_one_holds_no_message(new_ring):
    _, ring = new_ring(1)
    with pytest.raises(ValueError) as info:
        ring.push(b"")
    assert str(info.value) == TOO_LARGE.format(4, 1, 25)
    assert ring.pop() is None


# ---------------------------------------------------------------------------------------------
# pop and pop_mixed


@pytest.mark.parametrize(
    "value, tag, expected",
    [
        (1, "int", 1),
        (-5, "i64", -5),
        (True, "bool", True),
        (1.5, "float", 1.5),
        ("hi", "str", "hi"),
        ([1, 2], "int", 1),  # the second value is dropped with the message
        (b"\xff\xff\xff\xff\x00", "u32", 0xFFFFFFFF),
        (b"\x02\x00\x00\x00\xff\xfe", "str", "\ufffd\ufffd"),
    ],
)
def test_pop_with_tag_returns_first_value(ring, value, tag, expected):
    assert ring.push(value)
    result = ring.pop(tag)
    assert result == expected and type(result) is type(expected)
    assert ring.is_empty()


def test_pop_accepts_keyword_and_str_subclass(ring):
    class Tag(str):
        pass

    ring.push(7)
    ring.push(8)
    ring.push(b"raw")
    assert ring.pop(tag="int") == 7
    assert ring.pop(Tag("i64")) == 8
    assert ring.pop(tag=None) == b"raw"


@pytest.mark.parametrize(
    "value, schema, expected",
    [
        ([1, 2.5, True, "hi"], [("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)], [1, 2.5, True, "hi"]),
        ([1, 2, 3], [("i64", 3)], [[1, 2, 3]]),
        ([1, 2, 3], [("i64", 2)], [[1, 2]]),  # bytes after the last element are dropped
        (b"\x01\x02", [("u8", 0), ("u8", 2)], [[], [1, 2]]),
        (b"anything", [], []),
    ],
)
def test_pop_mixed_decodes_by_schema(ring, value, schema, expected):
    assert ring.push(value)
    assert ring.pop_mixed(MyList(schema)) == expected
    assert ring.is_empty()


def test_pop_mixed_accepts_keyword(ring):
    ring.push([4, 5])
    assert ring.pop_mixed(schema=[("int", 2)]) == [[4, 5]]


@pytest.mark.parametrize(
    "pop",
    [
        lambda r: r.pop(),
        lambda r: r.pop(None),
        lambda r: r.pop("int"),
        lambda r: r.pop("bogus"),  # an unknown tag is only examined when there is a message
        lambda r: r.pop_mixed([]),
        lambda r: r.pop_mixed(["f32"]),  # neither is a bad schema entry
    ],
    ids=["raw", "none", "int", "bogus", "empty-schema", "bad-schema"],
)
def test_pop_on_empty_ring_returns_none(ring, pop):
    assert pop(ring) is None
    assert pop(ring) is None
    assert ring.is_empty()


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda r: r.pop(5), "tag"),
        (lambda r: r.pop(b"int"), "tag"),
        (lambda r: r.pop_mixed(("i64", 1)), "schema"),
        (lambda r: r.pop_mixed("i64"), "schema"),
        (lambda r: r.pop_mixed(None), "schema"),
    ],
)
@pytest.mark.parametrize("pending", [False, True], ids=["empty", "pending"])
def test_wrong_argument_type_is_refused_before_the_ring_is_read(ring, call, argument, pending):
    if pending:
        ring.push(1)
    with pytest.raises(TypeError, match=argument):
        call(ring)
    assert ring.used() == (12 if pending else 0)


@pytest.mark.parametrize(
    "value, call, message",
    [
        (b"x", lambda r: r.pop("bogus"), UNKNOWN_TAG.format("bogus")),
        (b"abc", lambda r: r.pop("int"), "not enough data to read 'int': need 8, have 3"),
        (b"", lambda r: r.pop("u8"), "not enough data to read 'u8': need 1, have 0"),
        (1, lambda r: r.pop_mixed(["f32"]), "schema entries must be (type_tag, count) tuples"),
        (1, lambda r: r.pop_mixed([("bogus", 0)]), "unknown type tag 'bogus'"),
        (1, lambda r: r.pop_mixed([("i64", 2)]), "out of bounds: cursor=8 + needed=8 > data_len=8"),
    ],
)
def test_failed_decode_consumes_the_message(ring, value, call, message):
    ring.push(value)
    ring.push(b"next")
    with pytest.raises(ValueError) as info:
        call(ring)
    assert str(info.value) == message
    assert ring.pop() == b"next"


@pytest.mark.parametrize(
    "call",
    [
        lambda r: r.push(),
        lambda r: r.push(1, 2),
        lambda r: r.push(value=1),
        lambda r: r.pop("int", 1),
        lambda r: r.pop(tags="int"),
        lambda r: r.pop_mixed(),
        lambda r: r.pop_mixed([], []),
        lambda r: r.used(1),
        lambda r: r.capacity(1),
        lambda r: r.free(1),
        lambda r: r.is_empty(1),
        lambda r: r.is_full(1),
    ],
)
def test_missing_or_surplus_arguments(ring, call):
    ring.push(b"kept")
    with pytest.raises(TypeError):
        call(ring)
    assert ring.pop() == b"kept"


# ---------------------------------------------------------------------------------------------
# Size views and representation


def test_used_free_and_flags_follow_pushes_and_pops(new_ring):
    _, ring = new_ring(32)
    assert ring.push(b"abc") and ring.push(b"defgh")
    assert (ring.used(), ring.free(), ring.is_empty(), ring.is_full()) == (16, 16, False, False)
    assert ring.pop() == b"abc"
    assert (ring.used(), ring.free()) == (9, 23)
    assert ring.push(bytes(19))
    assert (ring.used(), ring.free(), ring.is_full()) == (32, 0, True)
    assert ring.pop() == b"defgh" and ring.pop() == bytes(19)
    assert (ring.used(), ring.free(), ring.is_empty(), ring.is_full()) == (0, 32, True, False)


def test_almost_full_ring_is_not_full_yet_refuses_every_push(new_ring):
    _, ring = new_ring(16)
    assert ring.push(bytes(9))  # 13 used, 3 free
    assert not ring.is_full() and ring.free() == 3
    assert ring.push(b"") is False


def test_repr(ring):
    assert repr(ring) == "SpscRingBuffer(capacity=1024, used=0, free=1024)"
    ring.push(b"abcd")
    assert repr(ring) == "SpscRingBuffer(capacity=1024, used=8, free=1016)"


def test_class_surface():
    assert [n for n in vars(SpscRingBuffer) if not n.startswith("_")][:8] == [
        "push", "pop", "used", "capacity", "free", "is_empty", "is_full", "pop_mixed",
    ]
    signatures = {
        "push": "($self, data)",
        "pop": "($self, tag=None)",
        "pop_mixed": "($self, schema)",
        "used": "($self)",
        "capacity": "($self)",
        "free": "($self)",
        "is_empty": "($self)",
        "is_full": "($self)",
    }
    for method, signature in signatures.items():
        assert getattr(SpscRingBuffer, method).__text_signature__ == signature
    with pytest.raises(TypeError):
        SpscRingBuffer()


# ---------------------------------------------------------------------------------------------
# Headers and frames no proper peer wrote: refused without touching memory outside the mapping


def opener_ring(make_segment, capacity=64):
    name, shm = make_segment(24 + capacity)
    return name, shm, SharedMemory.open(name).spsc()


def test_uninitialised_header_is_an_empty_ring_of_capacity_zero(make_segment):
    name, shm = make_segment(24 + 64)  # the creator has not called spsc() yet
    ring = SharedMemory.open(name).spsc()
    assert ring.pop() is None
    assert ring.pop_mixed([("i64", 1)]) is None
    with pytest.raises(ValueError) as info:
        ring.push(b"")
    assert str(info.value) == TOO_LARGE.format(4, 0, 88)
    assert (ring.capacity(), ring.used(), ring.free(), ring.is_empty(), ring.is_full()) == (0, 0, 0, True, True)
    assert repr(ring) == "SpscRingBuffer(capacity=0, used=0, free=0)"
    assert segment_bytes(name) == bytes(88)


@pytest.mark.parametrize("capacity", [48, 63, 128, 2**63])
def test_corrupt_capacity_is_refused_by_push_and_pop(make_segment, capacity):
    name, shm = make_segment(24 + 64)
    writer = shm.spsc()
    assert writer.push(b"abcd")
    ring = SharedMemory.open(name).spsc()
    set_header(name, 0, 8, capacity)
    before = segment_bytes(name)
    for call in (lambda: ring.push(b"x"), lambda: ring.pop(), lambda: ring.pop("u8"), lambda: ring.pop_mixed([])):
        with pytest.raises(ValueError, match="^corrupt ring header"):
            call()
    assert segment_bytes(name) == before
    assert (ring.capacity(), ring.used()) == (capacity, 8)  # the views report the header as it is
    set_header(name, 0, 8, 64)
    assert ring.pop() == b"abcd"


@pytest.mark.parametrize("pop", [lambda r: r.pop(), lambda r: r.pop("u32"), lambda r: r.pop_mixed([("u8", 1)])])
@pytest.mark.parametrize("length", [5, 60, 2**32 - 1])
def test_length_running_past_tail_is_refused_and_kept(make_segment, pop, length):
    name, shm = make_segment(24 + 64)
    ring = shm.spsc()
    set_header(name, 62, 62, 64)  # the length prefix will split across the end
    assert ring.push(b"abcd")
    with raw_segment(name) as m:
        prefix = struct.pack("<I", length)
        m[24 + 62 : 24 + 64] = prefix[:2]
        m[24 : 24 + 2] = prefix[2:]
    with pytest.raises(ValueError, match="^corrupt frame: "):
        pop(ring)
    assert header(name) == (62, 70, 64), "head stays where it was"
    with raw_segment(name) as m:
        m[24 + 62 : 24 + 64] = b"\x04\x00"
        m[24 : 24 + 2] = b"\x00\x00"
    assert ring.pop() == b"abcd"


@pytest.mark.parametrize("head, tail", [(0, 65), (0, 2**40), (0, 3), (10, 4)])
def test_counters_that_cannot_hold_a_frame_are_refused(make_segment, head, tail):
    name, shm = make_segment(24 + 64)
    ring = shm.spsc()
    set_header(name, head, tail, 64)
    with pytest.raises(ValueError, match="^corrupt "):
        ring.pop()
    assert header(name) == (head, tail, 64)
    assert ring.used() == (tail - head) % 2**64
    if ring.used() > 64:
        assert ring.free() == 0 and ring.is_full()


def _pop_under_memory_limit(name, size):
    """In a child: every kind of pop of a message too big to allocate fails and keeps it."""
    ring = SharedMemory.open(name).spsc()
    used = ring.used()
    with open("/proc/self/status") as f:
        vm_size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
    hard = resource.getrlimit(resource.RLIMIT_AS)[1]
    resource.setrlimit(resource.RLIMIT_AS, (vm_size + size // 4, hard))
    hoard = take_reusable_heap()
    try:
        for call in (lambda: ring.pop(), lambda: ring.pop("str"), lambda: ring.pop_mixed([("str", 1)])):
            try:
                call()
            except MemoryError:
                pass
            else:
                raise AssertionError("the payload could be allocated after all")
            assert ring.used() == used, "the message stays in the ring"
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
        del hoard
    assert ring.pop("str") == "m" * size


def test_pop_that_cannot_allocate_leaves_the_message(make_segment):
    size = 48 << 20
    name, shm = make_segment(24 + (64 << 20))
    ring = shm.spsc()
    assert ring.push("m" * size)
    child = mp.get_context("fork").Process(target=_pop_under_memory_limit, args=(name, size))
    child.start()
    child.join(30)
    if child.is_alive():
        child.kill()
        child.join()
    assert child.exitcode == 0
    assert ring.is_empty()
