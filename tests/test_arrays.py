"""NumPy arrays as ring messages: every dtype and shape through the copying members and the
loans (in one process and between processes), the data 64-byte aligned wherever the message
falls, the message a .npy file a plain reader reads, the loan rules, messages that are not
arrays, and the module without NumPy."""

import ast
import io
import random
import struct
import subprocess
import sys
import textwrap
import threading

import pytest

import kelparine
from conftest import shm_path

try:
    import numpy as np
except ImportError:  # only the test of the module without NumPy runs
    np = None
needs_numpy = pytest.mark.skipif(np is None, reason="NumPy is not installed")

DEADLINE_S = 30.0

# One table of dtypes and shapes: name -> array.
CASES = {
    "0-d": lambda: np.array(3.5),
    "empty": lambda: np.zeros((0, 3), np.int16),
    "fortran": lambda: np.asfortranarray(np.arange(12.0).reshape(3, 4)),
    "strided": lambda: np.arange(40, dtype=np.int32)[::3].reshape(2, 7)[:, ::2],
    "structured": lambda: np.array([(1, [2.5, -1.0], b"ab"), (3, [4.5, 0.0], b"cd")],
                                   dtype=[("i", "<i4"), ("f", ">f8", (2,)), ("s", "S2")]),
    "padded struct": lambda: np.array([(1, 2.0)], dtype=np.dtype({"names": ["a", "b"], "formats": ["u1", "<f8"],
                                                                  "offsets": [0, 8], "itemsize": 24})),
    "non-ASCII fields": lambda: np.array([(1.5,)], dtype=[("größe", "<f4")]),
    "big-endian": lambda: np.arange(5, dtype=">i8"),
    "bool": lambda: np.array([[True, False], [False, True]]),
    "datetime64": lambda: np.array(["2024-01-01T12:00", "1970-01-01"], dtype="datetime64[ns]"),
    "timedelta64": lambda: np.array([1, -2, 3], dtype="timedelta64[s]"),
    "bytes": lambda: np.array([b"abc", b"de"], dtype="S4"),
    "str": lambda: np.array(["héllo", "w"], dtype="<U5"),
    "complex": lambda: np.arange(4) * (1 + 2j),
    "float16 3-d": lambda: np.arange(24, dtype=np.float16).reshape(2, 3, 4),
}


def same(got, want):
    assert got.dtype == want.dtype and got.shape == want.shape
    assert repr(got) == repr(want)  # every field and element (padding bytes aside)
    assert got.ctypes.data % 64 == 0


def send(ring, array, path):
    if path == "copy":
        ring.put_array(array, timeout=DEADLINE_S)
    else:
        with ring.reserve_array(array.shape, array.dtype, timeout=DEADLINE_S) as slot:
            slot[...] = array


def check_next(ring, want, path):
    if path == "copy":
        got = ring.get_array(timeout=DEADLINE_S)
        same(got, want)
        assert got.flags.writeable
        assert got.flags.f_contiguous or not want.flags.f_contiguous or want.flags.c_contiguous
    else:
        with ring.borrow_array(timeout=DEADLINE_S) as got:
            same(got, want)
            assert not got.flags.writeable


@pytest.fixture
def ring(make_segment):
    return make_segment(24 + (1 << 16))[1].spsc()


@needs_numpy
@pytest.mark.parametrize("path", ["copy", "loan"])
@pytest.mark.parametrize("case", CASES)
def test_every_dtype_and_shape_goes_through(ring, case, path):
    array = CASES[case]()
    send(ring, array, path)
    check_next(ring, array, path)
    assert ring.is_empty()


def produce_every_case(name):
    ring = kelparine.SharedMemory.open(name).spsc()
    for path in ("copy", "loan"):
        for make in CASES.values():
            send(ring, make(), path)


@needs_numpy
def test_every_case_between_processes(make_segment, mp_context):
    name, shm = make_segment(24 + 4096)  # small: the producer waits, messages wrap
    ring = shm.spsc()
    child = mp_context.Process(target=produce_every_case, args=(name,))
    child.start()
    try:
        for path in ("copy", "loan"):
            for make in CASES.values():
                check_next(ring, make(), path)
    finally:
        child.join(DEADLINE_S)
    assert child.exitcode == 0


def counters(name):
    with open(shm_path(name), "rb") as segment:
        head, tail = struct.unpack("<QQ", segment.read(16))
    return head, tail


@needs_numpy
def test_data_is_aligned_wherever_the_message_falls(make_segment):
    capacity = 8192
    name, shm = make_segment(24 + capacity)
    ring = shm.spsc()
    rng = random.Random(7)
    wrapped = 0
    for i in range(400):
        array = np.arange(rng.randrange(0, 480), dtype=rng.choice(["u1", "<i2", ">f4", "<f8", "c16"]))
        _, before = counters(name)
        send(ring, array, "copy" if i % 2 else "loan")
        _, after = counters(name)
        wrapped += before % capacity + (after - before) > capacity
        check_next(ring, array, "copy" if i % 3 else "loan")  # asserts the alignment
    assert wrapped > 20


@needs_numpy
def test_message_is_a_npy_file_a_plain_reader_reads(make_segment):
    name, shm = make_segment(24 + 4096)
    ring = shm.spsc()
    array = np.arange(6, dtype=">u2").reshape(2, 3)
    ring.push(b"12345")  # moves the next frame off any convenient alignment
    ring.pop()
    _, tail = counters(name)
    ring.put_array(array)
    raw = ring.pop()
    # Plain Python: magic, version, header length, a dict literal, then the data.
    assert raw[:6] == b"\x93NUMPY" and raw[6:8] == b"\x01\x00"
    (length,) = struct.unpack_from("<H", raw, 8)
    header = raw[10:10 + length].decode("latin1")
    assert header.endswith("\n")
    assert ast.literal_eval(header) == {"descr": ">u2", "fortran_order": False, "shape": (2, 3)}
    data_at = 10 + length
    assert (24 + tail + 4 + data_at) % 64 == 0  # the data's offset in the mapping
    assert raw[data_at:] == array.tobytes()
    assert (np.load(io.BytesIO(raw)) == array).all()
    # And any .npy file pushed as bytes is an array message.
    saved = io.BytesIO()
    np.save(saved, array)
    ring.push(saved.getvalue())
    same(ring.get_array(), array)


def npy(header, data=b""):
    text = header.encode("latin1") + b"\n"
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(text)) + text + data


@needs_numpy
@pytest.mark.parametrize("message, says", [
    (b"", "magic"),
    (b"plain bytes, not an array", "magic"),
    (b"\x93NUMPY\x07\x00\x10\x00", "version 7.0"),
    (b"\x93NUMPY\x01\x00\xff\x00{'descr'", "runs past"),
    (npy("{'descr': '<f8', 'fortran_order': False, 'shape': (2,), }", bytes(8)), "8 follow it"),
    (npy("[1, 2, 3]"), "not a dict"),
    (npy("{'descr': 'not a dtype', 'fortran_order': False, 'shape': (), }"), "not a dtype"),
    (npy("{'descr': '|O', 'fortran_order': False, 'shape': (1,), }", bytes(8)), "cannot be carried"),
    (npy("{'descr': '<f8', 'fortran_order': False, 'shape': (-1,), }"), "ints >= 0"),
    (npy("__import__('os')"), "not a Python literal"),
])
@pytest.mark.parametrize("member", ["get_array", "borrow_array"])
def test_not_an_array_message_is_refused_and_kept(ring, message, says, member):
    ring.push(message)
    with pytest.raises(ValueError, match="^not an array message: .*" + says):
        if member == "get_array":
            ring.get_array(timeout=0)
        else:
            with ring.borrow_array(timeout=0):
                pass
    assert ring.pop() == message


@needs_numpy
def test_loan_rules(ring):
    # close() refused while lent; nesting refused; nothing published when the block raises.
    with ring.reserve_array(3, "<f8") as a:
        with pytest.raises(BufferError):
            ring.close()
        with pytest.raises(RuntimeError, match="reserve"):
            ring.put_array(np.zeros(3))
        with pytest.raises(RuntimeError, match="reserve"):
            with ring.reserve_array(3, "<f8"):
                pass
        a[...] = 1.0
    assert not a.flags.writeable  # a write now would land in a published message
    with pytest.raises(KeyError):
        with ring.reserve_array(3, "<f8") as b:
            b[...] = 2.0
            raise KeyError
    with pytest.raises(KeyError):
        with ring.borrow_array() as c:
            with pytest.raises(BufferError):
                ring.close()
            with pytest.raises(RuntimeError, match="borrow"):
                ring.get_array()
            assert c.tolist() == [1.0, 1.0, 1.0]
            raise KeyError
    assert ring.is_empty()  # the first message consumed, the second never published
    with pytest.raises(TimeoutError, match=r"^get_array\(\) timed out after 0 s with no message$"):
        ring.get_array(timeout=0)
    with pytest.raises(TimeoutError, match=r"^borrow_array\(\) timed out"):
        with ring.borrow_array(timeout=0.01):
            pass
    ring.close()


@needs_numpy
def test_arrays_outlive_their_loans_and_close():
    # The arrays a loan hands out keep the mapping: reading them after the block and after
    # close() reads mapped memory (in a child: a fault would end the process).
    code = textwrap.dedent("""
        import numpy as np, kelparine
        name = "/kelparine-test-stale-%d" % __import__("os").getpid()
        ring = kelparine.SharedMemory.create(name, 24 + 4096).spsc()
        kelparine.SharedMemory.remove(name)
        ring.put_array(np.arange(100.0))
        with ring.borrow_array() as a:
            pass
        with ring.reserve_array(100, "<f8") as b:
            b[...] = 1
        ring.close()
        print(float(a.sum()) >= 0, float(b.sum()))
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True", "100.0"]


@needs_numpy
@pytest.mark.parametrize("call, error, message", [
    (lambda r: r.put_array(np.array([object()])), ValueError, "Python objects"),
    (lambda r: r.put_array(np.zeros(1 << 14)), ValueError, "message too large"),
    (lambda r: r.reserve_array((1 << 14,), "f8"), ValueError, "message too large"),
    (lambda r: r.reserve_array((2, -1), "f8"), ValueError, "negative"),
    (lambda r: r.reserve_array(2, "O"), ValueError, "Python objects"),
])
def test_refused_at_once(make_segment, call, error, message):
    ring = make_segment(24 + 4096)[1].spsc()
    with pytest.raises(error, match=message):
        call(ring)
    assert ring.is_empty()


@needs_numpy
def test_put_array_waits_for_room_with_a_timeout(make_segment):
    ring = make_segment(24 + 1024)[1].spsc()
    ring.put_array(np.zeros(100))
    with pytest.raises(TimeoutError, match=r"^put_array\(\) timed out after 0 s for room: the message needs \d+ bytes"):
        ring.put_array(np.zeros(100), timeout=0)
    with pytest.raises(TimeoutError, match=r"^reserve_array\(\) timed out after 0.01 s waiting for room"):
        with ring.reserve_array(100, "f8", timeout=0.01):
            pass


def test_without_numpy_the_module_works_and_the_array_members_say_why():
    code = textwrap.dedent("""
        import sys
        sys.modules["numpy"] = None
        import kelparine
        name = "/kelparine-test-nonumpy-%d" % __import__("os").getpid()
        ring = kelparine.SharedMemory.create(name, 24 + 256).spsc()
        kelparine.SharedMemory.remove(name)
        ring.put(b"still works")
        assert ring.get() == b"still works"
        calls = [lambda: ring.put_array([1]), lambda: ring.get_array(timeout=0),
                 lambda: ring.reserve_array(1, "f8"), lambda: ring.borrow_array()]
        for call in calls:
            try:
                call()
            except ImportError as error:
                print(error)
    """)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    members = ("put_array", "get_array", "reserve_array", "borrow_array")
    assert len(lines) == len(members)
    for line, member in zip(lines, members):
        assert line.startswith(f"{member}() needs NumPy, which could not be imported (")


@needs_numpy
def test_threads_taking_arrays_get_each_once(make_segment):
    # New shapes make each header parsed by Python code, with the message left in the ring
    # meanwhile: the other thread must not take it twice.
    ring = make_segment(24 + 4096)[1].spsc()
    count, taken = 300, []
    switch = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)  # threads take turns inside the parsing

    def consume():
        for _ in range(count // 2):
            taken.append(int(ring.get_array(timeout=DEADLINE_S)[0]) if _ % 2 else
                         int(borrowed_first(ring)))

    def borrowed_first(ring):
        with ring.borrow_array(timeout=DEADLINE_S) as a:
            return a[0]

    threads = [threading.Thread(target=consume) for _ in range(2)]
    for thread in threads:
        thread.start()
    for i in range(count):
        ring.put_array(np.full(1 + i % 97, i), timeout=DEADLINE_S)
    for thread in threads:
        thread.join(DEADLINE_S)
    sys.setswitchinterval(switch)
    assert sorted(taken) == list(range(count))
