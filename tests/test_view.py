"""MappedView in one process: every method, every message, the lock word's observers, what
map() does to the word, and that a failing call leaves no trace."""

import gc
import mmap
import os
import struct

import pytest

import kelparine
from conftest import shm_path

SEGMENT_SIZE = 1024
DATA_SIZE = 1020
SENTINEL = 0x5A


class Index:
    """Not an int, but convertible to one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class LockWord:
    """Direct access to a segment's lock word, as a foreign process would have it."""

    def __init__(self, name):
        fd = os.open(shm_path(name), os.O_RDWR)
        try:
            self._map = mmap.mmap(fd, 4)
        finally:
            os.close(fd)

    def get(self):
        return struct.unpack_from("<i", self._map, 0)[0]

    def set(self, value):
        struct.pack_into("<i", self._map, 0, value)

    def close(self):
        self._map.close()


@pytest.fixture
def segment(make_segment):
    """(name, creating SharedMemory) of SEGMENT_SIZE bytes."""
    return make_segment(SEGMENT_SIZE)


@pytest.fixture
def word(segment):
    w = LockWord(segment[0])
    yield w
    w.close()


@pytest.fixture
def view(segment):
    return segment[1].map()


@pytest.fixture
def filled(view):
    """A view whose data area holds SENTINEL everywhere."""
    view.write(bytes([SENTINEL]) * DATA_SIZE, 0)
    return view


def test_fresh_view(view):
    assert view.size() == DATA_SIZE
    assert view.tell() == 0
    assert view.reader_count() == 0
    assert view.is_write_locked() is False
    assert repr(view) == "MappedView(data_size=1020, readers=0, write_locked=false)"
    assert view.read_all() == bytes(DATA_SIZE)


def test_class_cannot_be_instantiated():
    with pytest.raises(TypeError):
        kelparine.MappedView()


@pytest.mark.parametrize(
    "method, signature",
    [
        ("read_all", "($self)"),
        ("read_range", "($self, offset, length)"),
        ("write", "($self, data, offset=None)"),
        ("seek", "($self, pos=0)"),
        ("tell", "($self)"),
        ("read", "($self, tag)"),
        ("read_mixed", "($self, schema, offset=None)"),
        ("write_mixed", "($self, items, offset=None)"),
        ("zero", "($self)"),
        ("reader_count", "($self)"),
        ("is_write_locked", "($self)"),
        ("size", "($self)"),
    ],
)
def test_text_signatures(method, signature):
    assert getattr(kelparine.MappedView, method).__text_signature__ == signature


# ---------------------------------------------------------------------------- cursor and ranges


@pytest.mark.parametrize("pos, expected", [(DATA_SIZE, DATA_SIZE), (True, 1), (Index(9), 9), (0, 0)])
def test_seek_accepts_up_to_data_size(view, pos, expected):
    view.seek(17)
    view.seek(pos)
    assert view.tell() == expected


def test_seek_default_and_keyword(view):
    view.seek(pos=12)
    assert view.tell() == 12
    view.seek()
    assert view.tell() == 0


def test_read_range_edges(filled):
    filled.write(b"WXYZ", DATA_SIZE - 4)
    assert filled.read_range(1016, 4) == b"WXYZ"
    assert filled.read_range(length=1, offset=Index(1019)) == b"Z"
    assert filled.read_range(0, DATA_SIZE) == filled.read_all()
    assert len(filled.read_all()) == DATA_SIZE


def test_write_cursor_mode_sequence(filled):
    filled.write(b"abc")
    assert filled.tell() == 3
    filled.write(b"def", 10)
    assert filled.tell() == 3
    filled.write(b"ghi", None)
    assert filled.tell() == 6
    assert filled.read_range(0, 13) == b"abcghi" + bytes([SENTINEL]) * 4 + b"def"


def test_write_empty_str_writes_its_prefix(filled):
    filled.seek(2)
    filled.write("")
    assert filled.tell() == 6
    assert filled.read_range(0, 8) == bytes([SENTINEL]) * 2 + bytes(4) + bytes([SENTINEL]) * 2


def test_write_ending_exactly_at_data_end(view):
    view.seek(1012)
    view.write(-2)
    assert view.tell() == DATA_SIZE
    assert view.read_range(1012, 8) == struct.pack("<q", -2)


def test_int_round_trip_through_cursor(view):
    view.seek()
    view.write(42)
    view.seek()
    assert view.read("int") == 42
    assert view.tell() == 8


def test_read_advances_past_each_value(view):
    view.write_mixed([True, 7, 2.5, "héllo"])
    view.seek()
    assert [view.read(t) for t in ("bool", "i64", "f64", "str")] == [True, 7, 2.5, "héllo"]
    assert view.tell() == 1 + 8 + 8 + 4 + 6


def test_write_mixed_and_read_mixed_offsets(view):
    view.seek(5)
    view.write_mixed([1, "ab"], 100)
    assert view.tell() == 5
    view.write_mixed([[2, 3]])
    assert view.tell() == 21
    assert view.read_mixed([("i64", 1), ("str", 1)], offset=100) == [1, "ab"]
    assert view.tell() == 21
    view.seek(5)
    assert view.read_mixed([("i64", 2)], None) == [[2, 3]]
    assert view.tell() == 21


def test_read_mixed_advances_by_consumed_only(view):
    view.write_mixed([1, 2, 3], 0)
    view.seek()
    assert view.read_mixed([("i64", 1)]) == [1]
    assert view.tell() == 8
    assert view.read_mixed([]) == []
    assert view.tell() == 8


def test_zero_clears_data_and_keeps_cursor(filled, word):
    filled.seek(33)
    filled.zero()
    assert filled.read_all() == bytes(DATA_SIZE)
    assert filled.tell() == 33
    assert (filled.reader_count(), filled.is_write_locked(), word.get()) == (0, False, 0)


# ---------------------------------------------------------------------------- failures leave no trace

OOB = "out of bounds: offset={} + length={} > data_size=1020"
NO_DATA = "read_mixed: no data available at current cursor position"

FAILING_CALLS = [
    # (cursor before, call, exception, exact message or None)
    (7, lambda v: v.read_range(1017, 4), ValueError, OOB.format(1017, 4)),
    (7, lambda v: v.read_range(1020, 1), ValueError, OOB.format(1020, 1)),
    (7, lambda v: v.read_range(0, 0), ValueError, "length cannot be zero"),
    (7, lambda v: v.read_range(2**64 - 1, 2), ValueError, OOB.format(2**64 - 1, 2)),
    (7, lambda v: v.read_range(2, 2**64 - 1), ValueError, OOB.format(2, 2**64 - 1)),
    (7, lambda v: v.read_range(-1, 1), OverflowError, None),
    (7, lambda v: v.read_range(0, 2**64), OverflowError, None),
    (7, lambda v: v.read_range("0", 1), TypeError, "offset"),
    (7, lambda v: v.read_range(0, 1.0), TypeError, "length"),
    (7, lambda v: v.read_range(0), TypeError, None),
    (7, lambda v: v.write(b""), ValueError, "length cannot be zero"),
    (7, lambda v: v.write(bytearray(), 3), ValueError, "length cannot be zero"),
    (1018, lambda v: v.write(1), ValueError, OOB.format(1018, 8)),
    (DATA_SIZE, lambda v: v.write(True), ValueError, OOB.format(1020, 1)),
    (0, lambda v: v.write(b"abc", 1018), ValueError, OOB.format(1018, 3)),
    (7, lambda v: v.write(b"a", 2**64 - 1), ValueError, OOB.format(2**64 - 1, 1)),
    (7, lambda v: v.write(b"a", -1), OverflowError, None),
    (7, lambda v: v.write(b"a", "0"), TypeError, "offset"),
    (7, lambda v: v.write(b"a", bogus=1), TypeError, None),
    (7, lambda v: v.write(), TypeError, None),
    (7, lambda v: v.write(None), ValueError, None),
    (7, lambda v: v.write(None, "0"), TypeError, "offset"),  # the offset is converted first
    (7, lambda v: v.write_mixed([]), ValueError, "length cannot be zero"),
    (7, lambda v: v.write_mixed([[], b""]), ValueError, "length cannot be zero"),
    (7, lambda v: v.write_mixed(["abc"], 1015), ValueError, OOB.format(1015, 7)),
    (1000, lambda v: v.write_mixed([1, 2, 3]), ValueError, OOB.format(1000, 24)),
    (7, lambda v: v.write_mixed({1}), TypeError, "items"),
    (7, lambda v: v.write_mixed({1}, "bad offset"), TypeError, "items"),
    (7, lambda v: v.write_mixed((1,), "bad offset"), TypeError, "offset"),
    (7, lambda v: v.write_mixed([1], 1.5), TypeError, "offset"),
    (7, lambda v: v.write_mixed([None], -1), OverflowError, None),
    (7, lambda v: v.seek(1021), ValueError, "seek position 1021 exceeds data_size 1020"),
    (7, lambda v: v.seek(2**64 - 1), ValueError, "seek position 18446744073709551615 exceeds data_size 1020"),
    (7, lambda v: v.seek(None), TypeError, "pos"),
    (7, lambda v: v.seek(-1), OverflowError, None),
    (7, lambda v: v.seek(2**64), OverflowError, None),
    (DATA_SIZE, lambda v: v.read("int"), ValueError, "not enough data to read 'int': need 8, have 0"),
    (DATA_SIZE, lambda v: v.read("str"), ValueError, "not enough data to read str length prefix"),
    (1016, lambda v: v.read("f64"), ValueError, "not enough data to read 'f64': need 8, have 4"),
    (7, lambda v: v.read(b"int"), TypeError, "tag"),
    (7, lambda v: v.read(), TypeError, None),
    (DATA_SIZE, lambda v: v.read_mixed([("u8", 1)]), ValueError, NO_DATA),
    (DATA_SIZE, lambda v: v.read_mixed([]), ValueError, NO_DATA),
    (0, lambda v: v.read_mixed([("u8", 1)], DATA_SIZE), ValueError, NO_DATA),
    (0, lambda v: v.read_mixed([("u8", 1)], 2**64 - 1), ValueError, NO_DATA),
    (DATA_SIZE, lambda v: v.read_mixed([("f32",)]), ValueError, NO_DATA),  # before the schema is looked at
    (7, lambda v: v.read_mixed((("u8", 1),), -1), TypeError, "schema"),
    (7, lambda v: v.read_mixed([("u8", 1)], -1), OverflowError, None),
    (7, lambda v: v.read_mixed([("u8", 2000)]), ValueError, "out of bounds: cursor=1013 + needed=1 > data_len=1013"),
]


@pytest.mark.parametrize("cursor, call, error, message", FAILING_CALLS)
def test_failing_call_leaves_no_trace(filled, word, cursor, call, error, message):
    filled.seek(cursor)
    with pytest.raises(error) as info:
        call(filled)
    if message is not None:
        if error is ValueError:
            assert info.value.args == (message,)
        else:  # the argument's name appears in the interpreter-style message
            assert message in str(info.value)
    assert filled.tell() == cursor
    assert filled.read_all() == bytes([SENTINEL]) * DATA_SIZE
    assert (filled.reader_count(), filled.is_write_locked(), word.get()) == (0, False, 0)


# ---------------------------------------------------------------------------- views and mappings


def test_two_views_share_bytes_not_cursors(segment):
    _, shm = segment
    a, b = shm.map(), shm.map()
    a.write(b"abc")
    b.seek(500)
    assert (a.tell(), b.tell()) == (3, 500)
    assert b.read_range(0, 3) == b"abc"
    b.write("zz", 0)
    assert a.read_range(0, 6) == b"\x02\x00\x00\x00zz"
    assert a.tell() == 3


def test_view_outlives_handle_and_name(segment):
    name, shm = segment
    v = shm.map()
    del shm
    gc.collect()
    v.write(b"still here")
    kelparine.SharedMemory.remove(name)
    with pytest.raises(OSError):
        kelparine.SharedMemory.open(name)
    v.write(123, 100)
    assert v.read_range(0, 10) == b"still here"
    assert v.read_mixed([("i64", 1)], 100) == [123]
    v.zero()
    assert v.read_all() == bytes(DATA_SIZE)


def count_mappings(name):
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if shm_path(name) in line)


def test_mapping_released_when_view_is_collected(segment):
    name, shm = segment
    assert count_mappings(name) == 0
    views = [shm.map() for _ in range(40)]
    assert count_mappings(name) == 40
    del views
    gc.collect()
    assert count_mappings(name) == 0


@pytest.mark.parametrize("size", [0, 1, 4])
def test_map_refuses_segment_without_data_area(make_segment, size):
    name, shm = make_segment(max(size, 1))
    if size == 0:  # create() refuses 0: open a zero-length segment made behind its back
        os.truncate(shm_path(name), 0)
        shm = kelparine.SharedMemory.open(name)
    with pytest.raises(ValueError) as info:
        shm.map()
    assert info.value.args == ("segment size must be > 4 bytes (rwlock header)",)
    assert count_mappings(name) == 0


def test_smallest_view_has_one_data_byte(make_segment):
    _, shm = make_segment(5)
    v = shm.map()
    assert v.size() == 1
    v.write(True)
    v.seek()
    assert v.read("bool") is True
    assert v.read_all() == b"\x01"


# ---------------------------------------------------------------------------- the lock word


@pytest.mark.parametrize(
    "value, readers, write_locked",
    [(0, 0, "false"), (1, 1, "false"), (3, 3, "false"), (2**31 - 1, 2**31 - 1, "false"), (-1, 0, "true"),
     (-2, 0, "false"), (-(2**31), 0, "false")],
)
def test_observers_read_the_word(view, word, value, readers, write_locked):
    word.set(value)
    try:
        assert view.reader_count() == readers
        assert view.is_write_locked() is (write_locked == "true")
        assert repr(view) == f"MappedView(data_size=1020, readers={readers}, write_locked={write_locked})"
        assert word.get() == value  # observing takes no hold
    finally:
        word.set(0)


@pytest.mark.parametrize("stale", [-1, 1, 5, -7])
def test_creator_map_clears_the_word_every_time(segment, word, stale):
    _, shm = segment
    first = shm.map()
    word.set(stale)
    second = shm.map()
    assert word.get() == 0
    assert (first.reader_count(), first.is_write_locked()) == (0, False)
    second.write(b"ok")  # would spin forever on a stale word


@pytest.mark.parametrize("value", [-1, 2, 0, -9])
def test_opener_map_never_writes_the_word(segment, word, value):
    name, _ = segment
    word.set(value)
    try:
        opener = kelparine.SharedMemory.open(name)
        views = [opener.map() for _ in range(3)]
        assert word.get() == value
        assert views[0].reader_count() == max(value, 0)
    finally:
        word.set(0)


def test_reads_share_the_word_with_foreign_readers(filled, word):
    word.set(2)
    try:
        filled.seek(0)
        assert filled.read("u8") == SENTINEL
        assert filled.read_mixed([("u8", 2)]) == [[SENTINEL, SENTINEL]]
        assert filled.read_range(0, 1) == bytes([SENTINEL])
        assert len(filled.read_all()) == DATA_SIZE
        assert word.get() == 2  # every shared hold was given back
    finally:
        word.set(0)


def test_holds_leave_the_word_unlocked(filled, word):
    filled.write(b"x", 0)
    filled.write_mixed([1], 1)
    filled.zero()
    filled.seek()
    filled.read("u8")
    filled.read_mixed([("str", 1)], 4)
    filled.read_all()
    assert word.get() == 0
