"""Byte-exact tests of the value codec and typed lists, driven through MappedView.

The codec has no Python surface of its own: encodings are observed with write/write_mixed
followed by read_range, decodings by placing raw bytes at the END of the data area and reading
them with read/read_mixed, so that the range the codec receives is exactly those bytes and the
"have"/"data_len" figures in its messages are under the test's control.
"""

import collections
import enum
import struct

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kelparine

DATA_SIZE = 1020
SENTINEL = 0xA5
UNSUPPORTED_TAIL = "; supported: bool, int, float, str, bytes, bytearray, and objects exporting a C-contiguous buffer"
UNKNOWN_TAG_TAIL = "; supported: bool, int, float, f32, f64, i32, i64, u8, u32, u64, str"


@pytest.fixture
def view(make_segment):
    _, shm = make_segment(DATA_SIZE + 4)
    v = shm.map()
    v.write(bytes([SENTINEL]) * DATA_SIZE, 0)
    return v


def encode(view, value):
    """The bytes write() puts into the segment for `value`."""
    view.seek(0)
    view.write(value)
    return view.read_range(0, view.tell())


def encode_mixed(view, items):
    view.seek(0)
    view.write_mixed(items)
    return view.read_range(0, view.tell())


def place_at_end(view, raw):
    """Puts `raw` at the end of the data area and returns its offset."""
    at = DATA_SIZE - len(raw)
    if raw:
        view.write(raw, at)
    return at


def decode(view, raw, tag):
    """(value, bytes consumed) of read(tag) over exactly the bytes `raw`."""
    at = place_at_end(view, raw)
    view.seek(at)
    value = view.read(tag)
    return value, view.tell() - at


def decode_mixed(view, raw, schema):
    """(list, bytes consumed) of read_mixed(schema) in cursor mode over exactly `raw`."""
    at = place_at_end(view, raw)
    view.seek(at)
    result = view.read_mixed(schema)
    return result, view.tell() - at


def assert_untouched(view, cursor):
    assert view.read_all() == bytes([SENTINEL]) * DATA_SIZE
    assert view.tell() == cursor


class Color(enum.IntEnum):
    RED = 7


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyBytes(bytes):
    pass


class MyByteArray(bytearray):
    pass


# ---------------------------------------------------------------------------- encoding


@pytest.mark.parametrize(
    "value, expected",
    [
        (True, b"\x01"),
        (False, b"\x00"),
        (1, bytes.fromhex("0100000000000000")),
        (0, bytes(8)),
        (-1, b"\xff" * 8),
        (2**63 - 1, bytes.fromhex("ffffffffffffff7f")),
        (-(2**63), bytes.fromhex("0000000000000080")),
        (Color.RED, struct.pack("<q", 7)),
        (MyInt(-2), struct.pack("<q", -2)),
        (1.5, bytes.fromhex("000000000000f83f")),
        (-0.0, struct.pack("<d", -0.0)),
        (float("inf"), struct.pack("<d", float("inf"))),
        (MyFloat(1.5), bytes.fromhex("000000000000f83f")),
        ("", bytes(4)),
        ("é", bytes.fromhex("02000000c3a9")),
        ("a€😀", b"\x08\x00\x00\x00" + "a€😀".encode()),
        ("nul\x00in", b"\x06\x00\x00\x00nul\x00in"),
        (MyStr("hi"), b"\x02\x00\x00\x00hi"),
        (b"\x00\xffab", b"\x00\xffab"),
        (MyBytes(b"xy"), b"xy"),
        (bytearray(b"ab"), b"ab"),
        (MyByteArray(b"cd"), b"cd"),
        (memoryview(b"ab"), b"ab"),
    ],
    ids=repr,
)
def test_write_encodes_value(view, value, expected):
    assert encode(view, value) == expected


def test_nan_is_written_bit_exact(view):
    nan = struct.unpack("<d", bytes.fromhex("0100000000f8ff7f"))[0]
    assert encode(view, nan) == bytes.fromhex("0100000000f8ff7f")


def test_typed_list_concatenates_encodings(view):
    raw = encode_mixed(view, [1, [2.5, True], "hi"])
    assert raw == bytes.fromhex("0100000000000000" "0000000000000440" "01" "020000006869")
    assert len(raw) == 23


def test_typed_list_flattens_list_subclass_and_skips_empty_raw_bytes(view):
    class MyList(list):
        pass

    assert encode_mixed(view, MyList([b"", MyList([b"ab", bytearray()]), False])) == b"ab\x00"


@pytest.mark.parametrize(
    "value, type_name",
    [
        (None, "NoneType"),
        ((1, 2), "tuple"),
        ([1], "list"),
        ({}, "dict"),
        (1 + 2j, "complex"),
    ],
    ids=repr,
)
def test_write_rejects_unsupported_type(view, value, type_name):
    view.seek(3)
    with pytest.raises(ValueError) as info:
        view.write(value)
    assert info.value.args == (f"unsupported type '{type_name}'{UNSUPPORTED_TAIL}",)
    assert_untouched(view, 3)


@pytest.mark.parametrize(
    "items, type_name",
    [
        ([("f32", [1.0, 2.5])], "list"),
        ([[[1]]], "list"),
        ([1, None], "NoneType"),
        ([[1, 2], [3, None]], "NoneType"),
    ],
    ids=repr,
)
def test_write_mixed_rejects_unsupported_type_and_writes_nothing(view, items, type_name):
    view.seek(3)
    with pytest.raises(ValueError) as info:
        view.write_mixed(items)
    assert info.value.args == (f"unsupported type '{type_name}'{UNSUPPORTED_TAIL}",)
    assert_untouched(view, 3)


@pytest.mark.parametrize("value", [2**63, -(2**63) - 1, MyInt(2**64)], ids=repr)
@pytest.mark.parametrize("method", ["write", "write_mixed"])
def test_int_outside_i64_overflows_and_writes_nothing(view, method, value):
    view.seek(3)
    with pytest.raises(OverflowError):
        if method == "write":
            view.write(value)
        else:
            view.write_mixed([1, "x", value])
    assert_untouched(view, 3)


@pytest.mark.parametrize("method", ["write", "write_mixed"])
def test_lone_surrogate_raises_unicode_error_and_writes_nothing(view, method):
    view.seek(3)
    with pytest.raises(UnicodeEncodeError):
        if method == "write":
            view.write("a\ud800b")
        else:
            view.write_mixed(["ok", ["\udc00"]])
    assert_untouched(view, 3)


# ---------------------------------------------------------------------------- decoding one value


@pytest.mark.parametrize(
    "raw, tag, value, consumed",
    [
        (b"\xff", "u8", 255, 1),
        (b"\x00", "bool", False, 1),
        (b"\x01", "bool", True, 1),
        (b"\x02", "bool", True, 1),
        (bytes.fromhex("0000c03f"), "f32", 1.5, 4),
        (struct.pack("<f", 0.1), "f32", struct.unpack("<f", struct.pack("<f", 0.1))[0], 4),
        (b"\xff" * 4, "u32", 4294967295, 4),
        (b"\xff" * 4, "i32", -1, 4),
        (struct.pack("<i", -(2**31)), "i32", -(2**31), 4),
        (b"\xff" * 8, "u64", 2**64 - 1, 8),
        (b"\xff" * 8, "int", -1, 8),
        (b"\xff" * 8, "i64", -1, 8),
        (struct.pack("<d", -2.25), "f64", -2.25, 8),
        (struct.pack("<d", -2.25), "float", -2.25, 8),
        (bytes(4), "str", "", 4),
        (bytes.fromhex("02000000c3a9"), "str", "é", 6),
        (bytes.fromhex("02000000fffe"), "str", "\ufffd\ufffd", 6),
        (bytes(range(1, 11)), "i32", 0x04030201, 4),  # bytes after the value are ignored
    ],
    ids=repr,
)
def test_read_decodes_value(view, raw, tag, value, consumed):
    got, used = decode(view, raw, tag)
    assert (got, used) == (value, consumed)
    assert type(got) is type(value)


def test_read_accepts_str_subclass_tag(view):
    assert decode(view, b"\x07", MyStr("u8")) == (7, 1)


@pytest.mark.parametrize(
    "raw, tag, message",
    [
        (b"", "u8", "not enough data to read 'u8': need 1, have 0"),
        (b"", "bool", "not enough data to read 'bool'"),
        (b"\x00" * 3, "i32", "not enough data to read 'i32': need 4, have 3"),
        (b"\x00", "u32", "not enough data to read 'u32': need 4, have 1"),
        (b"", "f32", "not enough data to read 'f32': need 4, have 0"),
        (b"\x00" * 7, "i64", "not enough data to read 'i64': need 8, have 7"),
        (b"\x00" * 7, "int", "not enough data to read 'int': need 8, have 7"),
        (b"\x00" * 2, "u64", "not enough data to read 'u64': need 8, have 2"),
        (b"\x00" * 5, "f64", "not enough data to read 'f64': need 8, have 5"),
        (b"\x00" * 7, "float", "not enough data to read 'float': need 8, have 7"),
        (b"", "str", "not enough data to read str length prefix"),
        (b"\x01\x00", "str", "not enough data to read str length prefix"),
        (b"\x00" * 3, "str", "not enough data to read str length prefix"),
        (bytes.fromhex("05000000616263"), "str", "not enough data to read str payload: need 9, have 7"),
        (b"\x01\x00\x00\x00", "str", "not enough data to read str payload: need 5, have 4"),
        # The largest count: 4 + n must not wrap around in 32 bits.
        (b"\xff\xff\xff\xff" + b"abc", "str", "not enough data to read str payload: need 4294967299, have 7"),
    ],
    ids=repr,
)
def test_read_shortage_messages_leave_cursor(view, raw, tag, message):
    at = place_at_end(view, raw)
    view.seek(at)
    with pytest.raises(ValueError) as info:
        view.read(tag)
    assert info.value.args == (message,)
    assert view.tell() == at


@pytest.mark.parametrize("tag", ["str16", "INT", "", "Float", "i64 ", "u8\x00", "bogus", "é"])
@pytest.mark.parametrize("available", [8, 0])
def test_read_unknown_tag(view, tag, available):
    # Unknown before any length check: the same message over an empty range.
    at = DATA_SIZE - available
    view.seek(at)
    with pytest.raises(ValueError) as info:
        view.read(tag)
    assert info.value.args == (f"unknown type tag '{tag}'{UNKNOWN_TAG_TAIL}",)
    assert view.tell() == at


# ---------------------------------------------------------------------------- lenient UTF-8

ILL_FORMED_UTF8 = [
    b"\x80",  # lone continuation byte
    b"\xbf\x80abc",
    b"\xc0\x80",  # overlong NUL
    b"\xc1\xbf",
    b"\xe0\x80\x80",  # overlong three-byte form
    b"\xe0\x9f\xbf",
    b"\xed\xa0\x80",  # encoded surrogate
    b"\xed\xbf\xbf",
    b"\xf0\x80\x80\x80",  # overlong four-byte form
    b"\xf4\x90\x80\x80",  # above U+10FFFF
    b"\xf5\x80\x80\x80",
    b"\xf8\x88\x80\x80\x80",  # five-byte form
    b"\xfe\xff",
    b"\xe2\x82",  # truncated, then end
    b"\xe2\x82a",  # truncated, then ASCII
    b"\xf0\x9f\x98",  # truncated four-byte form
    b"\xf0\x9f\x98\xc3\xa9",
    b"a\xc3",  # truncated at the very end of the payload
    b"\xe1\x80\xe2\xf0\x91\x92\xf1\xbf\x41",  # several maximal subparts in a row
    b"\x61\xf1\x80\x80\xe1\x80\xc2\x62\x80\x63\x80\xbf\x64",
    b"ok \xe2\x82\xac \xf0\x9f\x98\x80 \x00 end",  # well-formed with NUL
]


@pytest.mark.parametrize("payload", ILL_FORMED_UTF8, ids=lambda b: b.hex())
def test_str_decoding_replaces_like_python(view, payload):
    raw = struct.pack("<I", len(payload)) + payload
    expected = payload.decode("utf-8", "replace")
    assert decode(view, raw, "str") == (expected, len(raw))
    # The typed-list reader decodes the same way; the byte after the payload is not read.
    at = place_at_end(view, raw + b"\xff")
    assert view.read_mixed([("str", 1)], at) == [expected]


# The view is reused across examples: each one writes its own bytes at offset 0 first.
@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(payload=st.binary(max_size=40))
def test_str_decoding_replaces_like_python_for_any_bytes(view, payload):
    view.write(struct.pack("<I", len(payload)) + payload, 0)
    view.seek()
    assert view.read("str") == payload.decode("utf-8", "replace")
    assert view.tell() == 4 + len(payload)


# ---------------------------------------------------------------------------- typed lists


def test_read_mixed_decodes_what_write_mixed_wrote(view):
    view.write_mixed([1, [2.5, True], "hi"], 0)
    view.seek()
    assert view.read_mixed([("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)]) == [1, 2.5, True, "hi"]
    assert view.tell() == 23


@pytest.mark.parametrize(
    "schema, expected, consumed",
    [
        ([], [], 0),
        ([("u8", 0)], [[]], 0),
        ([("u8", 1)], [1], 1),
        ([("i64", 2)], [[0x0807060504030201, 0x100F0E0D0C0B0A09]], 16),
        ([("u8", 2), ("u8", 0), ("i32", 1)], [[1, 2], [], 0x06050403], 6),
        ([("u32", 1), ("bool", 3)], [0x04030201, [True, True, True]], 7),
    ],
    ids=repr,
)
def test_read_mixed_shapes_and_consumed(view, schema, expected, consumed):
    # 20 bytes available; whatever the schema does not read is left for later.
    assert decode_mixed(view, bytes(range(1, 21)), schema) == (expected, consumed)


def test_read_mixed_all_tags(view):
    raw = (
        b"\xfe" + b"\x00" + struct.pack("<iIf", -3, 3, 0.5) + struct.pack("<qqQdd", -4, -5, 2**64 - 2, 1.25, 2.5)
        + b"\x03\x00\x00\x00abc"
    )
    schema = [(t, 1) for t in ("u8", "bool", "i32", "u32", "f32", "i64", "int", "u64", "f64", "float", "str")]
    assert decode_mixed(view, raw, schema) == ([254, False, -3, 3, 0.5, -4, -5, 2**64 - 2, 1.25, 2.5, "abc"], len(raw))


def test_read_mixed_accepts_named_tuple_index_count_extra_element_and_list_subclass(view):
    Entry = collections.namedtuple("Entry", "tag count")

    class Count:
        def __index__(self):
            return 2

    class Schema(list):
        pass

    schema = Schema([Entry("u8", 1), ("u8", Count()), ("f32", 1, "extra"), (MyStr("u8"), True)])
    raw = b"\x09\x0a\x0b" + struct.pack("<f", 1.5) + b"\x0c"
    assert decode_mixed(view, raw, schema) == ([9, [10, 11], 1.5, 12], len(raw))


@pytest.mark.parametrize(
    "raw, schema, message",
    [
        (bytes(6), [("i32", 2)], "out of bounds: cursor=4 + needed=4 > data_len=6"),
        (bytes.fromhex("05000000616263"), [("str", 1)], "out of bounds: cursor=4 + needed=5 > data_len=7"),
        (b"\x01\x00", [("str", 1)], "out of bounds: cursor=0 + needed=4 > data_len=2"),
        (b"\x00\x00\x00\x00\x01", [("str", 2)], "out of bounds: cursor=4 + needed=4 > data_len=5"),
        (b"\xff\xff\xff\xff", [("str", 1)], "out of bounds: cursor=4 + needed=4294967295 > data_len=4"),
        (bytes(8), [("u8", 10**12)], "out of bounds: cursor=8 + needed=1 > data_len=8"),
        (bytes(8), [("f64", 1), ("bool", 1)], "out of bounds: cursor=8 + needed=1 > data_len=8"),
        (bytes(8), [("bogus", 0)], "unknown type tag 'bogus'"),
        (bytes(8), [("u8", 1), ("str16", 1)], "unknown type tag 'str16'"),
        (bytes(8), [("u8", 1), "f32"], "schema entries must be (type_tag, count) tuples"),
        (bytes(8), [["f32", 1]], "schema entries must be (type_tag, count) tuples"),
        # Entries fail in order: an earlier entry's shortage wins over a later bad entry.
        (bytes(8), [("u8", 9), "f32"], "out of bounds: cursor=8 + needed=1 > data_len=8"),
        (bytes(8), [("bogus", 1), ("u8", 9)], "unknown type tag 'bogus'"),
    ],
    ids=repr,
)
def test_read_mixed_errors_leave_cursor(view, raw, schema, message):
    at = place_at_end(view, raw)
    view.seek(at)
    with pytest.raises(ValueError) as info:
        view.read_mixed(schema)
    assert info.value.args == (message,)
    assert view.tell() == at


@pytest.mark.parametrize(
    "entry, error",
    [
        (("f32",), IndexError),
        ((), IndexError),
        (("f32", -1), OverflowError),
        (("f32", 2**64), OverflowError),
        ((1, 2), TypeError),
        (("f32", 1.0), TypeError),
        (("f32", "1"), TypeError),
        (("\ud800", 1), UnicodeEncodeError),
    ],
    ids=repr,
)
def test_read_mixed_schema_conversion_errors_pass_through(view, entry, error):
    view.seek(5)
    with pytest.raises(error):
        view.read_mixed([("u8", 1), entry])
    assert view.tell() == 5


def test_read_mixed_shortage_before_later_conversion_error(view):
    # The first entry runs off the end before the second is looked at.
    at = place_at_end(view, bytes(4))
    with pytest.raises(ValueError, match=r"^out of bounds: cursor=4 \+ needed=1 > data_len=4$"):
        view.read_mixed([("u8", 5), ("f32",)], at)


def test_read_mixed_at_position_100_counts_from_there(make_segment):
    _, shm = make_segment(4 + 104)
    v = shm.map()
    v.seek(100)
    message = "out of bounds: cursor=0 + needed=8 > data_len=4"
    with pytest.raises(ValueError) as info:
        v.read_mixed([("i64", 1)])
    assert info.value.args == (message,)
    with pytest.raises(ValueError) as info:
        v.read_mixed([("f64", 1)], 100)
    assert info.value.args == (message,)
    assert v.tell() == 100
