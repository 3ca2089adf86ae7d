"""The wider values: buffers of every kind, NumPy scalars, __index__ and __float__ objects and
tuples, on every path that takes values (write, write_mixed, push), checked against the bytes a
foreign reader finds in the segment file with struct alone. Byte layouts are those of int,
float, bool and raw bytes; nothing new is written."""

import array
import ctypes
import fractions
import mmap
import struct
import warnings

import pytest

import kelparine
from conftest import shm_path

try:
    import numpy as np
except ImportError:  # the pyenv interpreters of scripts/matrix.sh have no NumPy
    np = None

needs_numpy = pytest.mark.skipif(np is None, reason="needs NumPy")
UNSUPPORTED = ("unsupported type '{}'; supported: bool, int, float, str, bytes, bytearray, and objects exporting a "
               "C-contiguous buffer")
NOT_CONTIGUOUS = ("buffer of type '{}' is not C-contiguous; pass a contiguous copy (bytes(x), "
                  "numpy.ascontiguousarray(x))")
OBJECTS = "buffer of type '{}' holds Python object pointers (format 'O'), which mean nothing in another process"


def i64(value):
    return struct.pack("<q", value)


def f64(value):
    return struct.pack("<d", value)


def anonymous_mmap(data):
    m = mmap.mmap(-1, len(data))
    m[:] = data
    return m


def read_only_array():
    a = np.arange(3, dtype="<u2")
    a.flags.writeable = False
    return a


# (id, factory of the value, bytes a foreign reader expects). Factories, so that NumPy is only
# touched where it exists and every path gets a fresh object.
NUMPY_VALUES = [
    ("bool_", lambda: np.bool_(True), b"\x01"),
    *[(f"{t}", (lambda t=t: np.dtype(t).type(-7 if t.startswith("i") else 7)),
       i64(-7 if t.startswith("i") else 7))
      for t in ("int8", "int16", "int32", "int64", "uint8", "uint16", "uint32", "uint64", "longlong", "ulonglong")],
    ("int64-min", lambda: np.int64(-(2**63)), i64(-(2**63))),
    ("uint64-max-i64", lambda: np.uint64(2**63 - 1), i64(2**63 - 1)),
    ("float16", lambda: np.float16(-2.5), f64(-2.5)),
    ("float32", lambda: np.float32(0.1), f64(struct.unpack("<f", struct.pack("<f", 0.1))[0])),
    ("float64", lambda: np.float64(0.1), f64(0.1)),
    ("longdouble", lambda: np.longdouble(0.1), f64(0.1)),  # made from the double 0.1: exact
    ("0-d-int", lambda: np.array(9), i64(9)),
    ("0-d-big-endian-int", lambda: np.array(-300, dtype=">i4"), i64(-300)),
    ("0-d-big-endian-float", lambda: np.array(1.5, dtype=">f8"), f64(1.5)),
    ("0-d-bool", lambda: np.array(False), b"\x00"),
    # Not numbers in the codec's sense: their raw bytes.
    ("complex64", lambda: np.complex64(1 + 2j), struct.pack("<ff", 1, 2)),
    ("datetime64", lambda: np.datetime64(5, "s"), i64(5)),
    ("void", lambda: np.void(b"\x01\x02"), b"\x01\x02"),
    ("str_", lambda: np.str_("hé"), b"\x03\x00\x00\x00h\xc3\xa9"),
    ("bytes_", lambda: np.bytes_(b"ab"), b"ab"),
    ("array-1d", lambda: np.arange(3, dtype="<i2"), struct.pack("<3h", 0, 1, 2)),
    ("array-2d", lambda: np.arange(6, dtype="<f4").reshape(2, 3), struct.pack("<6f", *range(6))),
    ("array-big-endian", lambda: np.array([1, 2], dtype=">i4"), struct.pack(">2i", 1, 2)),
    ("array-read-only", read_only_array, struct.pack("<3H", 0, 1, 2)),
    ("array-contiguous-slice", lambda: np.arange(8, dtype="u1")[2:5], b"\x02\x03\x04"),
]

PLAIN_VALUES = [
    ("memoryview", lambda: memoryview(b"abc"), b"abc"),
    ("memoryview-cast", lambda: memoryview(bytes(range(8))).cast("I", [2]), bytes(range(8))),
    ("memoryview-0-d-int", lambda: memoryview(i64(-2)).cast("q", []), i64(-2)),
    ("memoryview-0-d-float", lambda: memoryview(struct.pack("<f", 0.5)).cast("f", []), f64(0.5)),
    ("memoryview-0-d-bool", lambda: memoryview(b"\x02").cast("?", []), b"\x01"),
    ("memoryview-0-d-char", lambda: memoryview(b"q").cast("c", []), b"q"),
    ("array-i", lambda: array.array("i", [1, -1]), struct.pack("<2i", 1, -1)),
    ("array-B", lambda: array.array("B", b"hi"), b"hi"),
    ("mmap", lambda: anonymous_mmap(b"mapped"), b"mapped"),
    ("ctypes-int", lambda: ctypes.c_int(-9), i64(-9)),
    ("ctypes-array", lambda: (ctypes.c_uint16 * 2)(1, 2), struct.pack("<2H", 1, 2)),
    ("__index__", type("Index", (), {"__index__": lambda self: -5}), i64(-5)),
    ("__float__", type("Real", (), {"__float__": lambda self: 2.25}), f64(2.25)),
    ("Fraction", lambda: fractions.Fraction(1, 4), f64(0.25)),
]

VALUES = [pytest.param(make, raw, id=name, marks=needs_numpy) for name, make, raw in NUMPY_VALUES] + [
    pytest.param(make, raw, id=name) for name, make, raw in PLAIN_VALUES
]


@pytest.fixture
def view_name(make_segment):
    name, shm = make_segment(4 + 256)
    return name, shm.map()


@pytest.fixture
def ring_name(make_segment):
    name, shm = make_segment(24 + 256)
    return name, shm.spsc()


def segment_file(name):
    with open(shm_path(name), "rb") as f:
        return f.read()


def view_bytes(name, length):
    """The first `length` bytes of a view's data area, as a foreign reader sees them."""
    return segment_file(name)[4 : 4 + length]


def ring_messages(name):
    """The unread frames of a ring that has not wrapped, read with struct alone."""
    raw = segment_file(name)
    head, tail, _capacity = struct.unpack_from("<QQQ", raw, 0)
    messages, at = [], head
    while at < tail:
        (length,) = struct.unpack_from("<I", raw, 24 + at)
        messages.append(raw[28 + at : 28 + at + length])
        at += 4 + length
    return messages


@pytest.mark.parametrize("make, raw", VALUES)
def test_write_stores_the_documented_bytes(view_name, make, raw):
    name, view = view_name
    view.write(make())
    assert view.tell() == len(raw)
    assert view_bytes(name, len(raw)) == raw


@pytest.mark.parametrize("make, raw", VALUES)
def test_write_mixed_stores_the_documented_bytes_from_lists_and_tuples(view_name, make, raw):
    name, view = view_name
    view.write_mixed((make(), [make(), 1], (make(),)))
    expected = raw + raw + i64(1) + raw
    assert view.tell() == len(expected)
    assert view_bytes(name, len(expected)) == expected


@pytest.mark.parametrize("make, raw", VALUES)
def test_push_stores_the_documented_bytes_alone_and_in_lists_and_tuples(ring_name, make, raw):
    name, ring = ring_name
    assert ring.push(make()) and ring.push([make(), 2]) and ring.push((make(),))
    assert ring_messages(name) == [raw, raw + i64(2), raw]


def test_numpy_bool_is_encoded_without_its_deprecated_index(view_name):
    np_ = pytest.importorskip("numpy")
    name, view = view_name
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # operator.index(np.bool_) warns: it would raise here
        view.write(np_.bool_(True), 0)
        view.write_mixed([np_.bool_(False), np_.bool_(True)], 1)
    assert view_bytes(name, 3) == b"\x01\x00\x01"


def strided_read_only():
    a = np.arange(6, dtype="<u2")[::2]
    a.flags.writeable = False
    return a


def _refused_values():
    rows = [
        ("memoryview-strided", lambda: memoryview(b"abcd")[::2], ValueError, NOT_CONTIGUOUS.format("memoryview")),
        ("memoryview-of-objects", lambda: memoryview((ctypes.py_object * 2)()), ValueError,
         OBJECTS.format("memoryview")),
        ("ctypes-objects", lambda: (ctypes.py_object * 1)(), ValueError, OBJECTS.format("py_object_Array_1")),
        ("complex", lambda: 1j, ValueError, UNSUPPORTED.format("complex")),
    ]
    numpy_rows = [
        ("strided", lambda: np.arange(6)[::2], ValueError, NOT_CONTIGUOUS.format("ndarray")),
        ("strided-read-only", strided_read_only, ValueError, NOT_CONTIGUOUS.format("ndarray")),
        ("fortran", lambda: np.zeros((2, 3), order="F"), ValueError, NOT_CONTIGUOUS.format("ndarray")),
        ("objects", lambda: np.array([1, "a"], dtype=object), ValueError, OBJECTS.format("ndarray")),
        ("0-d-objects", lambda: np.array(None, dtype=object), ValueError, OBJECTS.format("ndarray")),
        ("uint64-beyond-i64", lambda: np.uint64(2**63), OverflowError, None),  # as int(2**63) is
    ]
    return [pytest.param(make, error, message, id=name) for name, make, error, message in rows] + [
        pytest.param(make, error, message, id=name, marks=needs_numpy) for name, make, error, message in numpy_rows
    ]


@pytest.mark.parametrize("make, error, message", _refused_values())
@pytest.mark.parametrize("path", ["write", "write_mixed", "push", "push-tuple"])
def test_refused_values_raise_on_every_path_and_write_nothing(view_name, ring_name, path, make, error, message):
    name, view = view_name
    ring_segment, ring = ring_name
    before = segment_file(name), segment_file(ring_segment)
    calls = {"write": view.write, "write_mixed": lambda v: view.write_mixed([1, (2, v)]),
             "push": ring.push, "push-tuple": lambda v: ring.push((1, v))}
    with pytest.raises(error) as info:
        calls[path](make())
    if message is not None:
        assert info.value.args == (message,)
    assert (segment_file(name), segment_file(ring_segment)) == before
    assert view.tell() == 0


@pytest.mark.parametrize("data, inner", [([1, (2,)], "tuple"), (((1,), 2), "tuple"), ([[1]], "list"),
                                         (([2.5],), "list")], ids=repr)
def test_push_still_refuses_a_sequence_inside_its_sequence(ring_name, data, inner):
    _, ring = ring_name
    with pytest.raises(ValueError) as info:
        ring.push(data)
    assert info.value.args == (UNSUPPORTED.format(inner),)
    assert ring.used() == 0


def test_write_mixed_flattens_one_level_of_tuples_and_refuses_deeper(view_name):
    name, view = view_name
    view.write_mixed(((1, True), ["x", 2.5]), 0)
    assert view_bytes(name, 22) == i64(1) + b"\x01" + b"\x01\x00\x00\x00x" + f64(2.5)
    with pytest.raises(ValueError) as info:
        view.write_mixed([(1, (2,))], 0)
    assert info.value.args == (UNSUPPORTED.format("tuple"),)


def _push_from_child(name):
    import numpy as np_  # noqa: PLC0415 - only where NumPy exists

    ring = kelparine.SharedMemory.open(name).spsc()
    for value in (np_.int32(-3), np_.float32(0.5), np_.bool_(True), (np_.uint8(7), 1.5),
                  np_.arange(4, dtype="<u2"), memoryview(b"mv"), array.array("h", [-1])):
        assert ring.push(value)


@needs_numpy
def test_a_child_process_pushes_wider_values_the_parent_reads_as_documented(ring_name, mp_context):
    name, ring = ring_name
    child = mp_context.Process(target=_push_from_child, args=(name,))
    child.start()
    child.join(30)
    assert child.exitcode == 0
    assert [ring.pop() for _ in range(7)] == [
        i64(-3), f64(0.5), b"\x01", i64(7) + f64(1.5), struct.pack("<4H", 0, 1, 2, 3), b"mv", struct.pack("<h", -1)
    ]
