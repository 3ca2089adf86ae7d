"""Bulk and zero-copy ring members: pop_into, push_many/pop_many, reserve/borrow loans (exits,
wrapped space, exports kept past the block, nesting, real processes), close() on views and
rings, and a property test that mixes every path against a Python model of the ring."""

import array
import gc
import re
import struct
import threading
import time

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import kelparine
from conftest import shm_path

SM, Ring = kelparine.SharedMemory, kelparine.SpscRingBuffer


@pytest.fixture
def ring(make_segment):
    return make_segment(24 + 64)[1].spsc()


def counters(ring_name):
    with open(shm_path(ring_name), "rb") as f:
        return struct.unpack("<QQ", f.read(16))


# --- pop_into ---------------------------------------------------------------------------------


@pytest.mark.parametrize("make", [bytearray, lambda n: memoryview(bytearray(n)), lambda n: array.array("B", bytes(n))])
@pytest.mark.parametrize("size, fits", [(9, False), (10, True), (40, True)])
def test_pop_into_buffers_too_small_exact_and_larger(ring, make, size, fits):
    ring.push(b"0123456789")
    into = make(size)
    if not fits:
        with pytest.raises(ValueError, match=r"^message of 10 bytes does not fit a buffer of 9 bytes$"):
            ring.pop_into(into)
        assert ring.used() == 14  # the message stays
        return
    assert ring.pop_into(into) == 10
    assert bytes(into)[:10] == b"0123456789" and bytes(into)[10:] == bytes(size - 10)
    assert ring.pop_into(into) is None


def test_pop_into_refuses_read_only_and_non_contiguous_buffers(ring):
    np = pytest.importorskip("numpy")
    ring.push(b"x")
    for read_only in (b"12345678", memoryview(bytes(8)), "text"):
        with pytest.raises(TypeError, match=r"writable buffer"):
            ring.pop_into(read_only)
    with pytest.raises(ValueError, match=r"not contiguous"):
        ring.pop_into(np.zeros(16, np.uint8)[::2])
    assert ring.used() == 5


# --- push_many / pop_many ---------------------------------------------------------------------


def test_push_many_writes_a_prefix_until_full(ring):
    assert ring.push_many(iter([b"a" * 20] * 5)) == 2  # 2 x 24 of 64 bytes
    assert ring.push_many([b"b" * 12, b"c"]) == 1 and ring.used() == 64
    assert ring.push_many([b""]) == 0
    assert ring.pop_many(10) == [b"a" * 20, b"a" * 20, b"b" * 12]


@pytest.mark.parametrize("bad, error", [(None, ValueError), (2**64, OverflowError), ([1, [2]], ValueError),
                                        (b"x" * 61, ValueError)])
def test_push_many_with_an_invalid_item_writes_nothing(ring, bad, error):
    ring.push(b"keep")
    before = ring.used()
    with pytest.raises(error):
        ring.push_many([b"ok", 7, bad, b"never"])
    assert ring.used() == before and ring.pop_many(9) == [b"keep"]


def test_pop_many_empty_partial_zero_and_by_tag(ring):
    assert ring.pop_many(5) == [] and ring.pop_many(0) == []
    ring.push_many([1, 2, 3])
    assert ring.pop_many(0) == [] and ring.pop_many(2, "int") == [1, 2]
    assert ring.pop_many(5, "i64") == [3]


def test_pop_many_ends_before_a_bad_frame_then_reports_it(ring):
    ring.push_many([7, b"ab", 8])  # the middle message cannot be read as an int
    assert ring.pop_many(5, "int") == [7]
    with pytest.raises(ValueError, match=r"not enough data to read 'int'"):
        ring.pop_many(5, "int")  # consumed, as pop(tag) would
    assert ring.pop_many(5, "int") == [8]


# --- records: pop_many(schema=...) and get_many ------------------------------------------------

RECORD = [("i64", 1), ("f64", 1), ("str", 1)]
U64_MAX = (2**64 - 1).to_bytes(8, "little")

# (schema, messages pushed): every tag, counts of 0, 1 and more, bytes left over, and messages
# that fail to decode at the front, in the middle and at the end of a batch.
RECORD_CASES = {
    "int float str bool": ([("int", 1), ("float", 1), ("str", 1), ("bool", 1)],
                           [(1, 0.5, "a", True), (-(2**63), -0.0, "", False), (2**63 - 1, 1e300, "héllo ✓", True)]),
    "i64 f64 aliases": ([("i64", 1), ("f64", 1)], [(5, 2.5), [6, 3.5]]),
    "u8 i32 u32 f32": ([("u8", 1), ("i32", 1), ("u32", 1), ("f32", 1)],
                       [struct.pack("<BiIf", 255, -5, 2**32 - 1, 1.5), struct.pack("<BiIf", 0, 2**31 - 1, 0, -2.0)]),
    "u64 and bytes past the schema": ([("u64", 1)], [U64_MAX, U64_MAX + b"rest", bytes(8)]),
    "counts of 0 and 2": ([("i64", 2), ("str", 0), ("str", 2)], [(1, 2, "x", "yz"), (3, 4, "", "", 99)]),
    "empty schema": ([], [b"", b"abc"]),
    "lenient utf-8": ([("str", 1)], [b"\x02\x00\x00\x00\xff\xfe", b"\x01\x00\x00\x00A"]),
    "failures in a batch": ([("i64", 1), ("f64", 1)],
                            [(1,), (1, 0.5), (2, 1.5), (2,), b"", (3, 2.5), (4, 3.5), (5, 4.5), (6,)]),
    "strings cut short": (RECORD, [(1, 0.5, "ok"), (2, 1.5, "x")[:2] + (7,), (3, 2.5, "end")]),
}


def drained(take):
    """Every outcome of `take` until the ring is empty: values in order, errors as (type, text)."""
    outcomes = []
    for _ in range(50):  # more calls than any case has messages
        try:
            batch = take()
        except (ValueError, TypeError, IndexError, OverflowError) as error:
            outcomes.append((type(error), str(error)))
            continue
        if not batch:
            return outcomes
        outcomes.extend(batch)
    return outcomes + ["never empty"]


def empty_as_none(call):
    try:
        return call()
    except TimeoutError:
        return []


@pytest.mark.parametrize("take", ["pop_many", "get_many"])
@pytest.mark.parametrize("schema, messages", RECORD_CASES.values(), ids=RECORD_CASES.keys())
def test_batches_decode_each_message_as_pop_mixed_does(make_segment, take, schema, messages):
    one_by_one, batched = (make_segment(24 + 1024)[1].spsc() for _ in range(2))
    for ring in (one_by_one, batched):
        assert ring.push_many(messages) == len(messages)
    want = drained(lambda: [] if (v := one_by_one.pop_mixed(schema)) is None else [v])
    if take == "pop_many":
        got = drained(lambda: batched.pop_many(4, schema=schema))
    else:
        got = drained(lambda: empty_as_none(lambda: batched.get_many(4, 0, schema=schema)))
    assert got == want and batched.is_empty()


@pytest.mark.parametrize("schema, error, text", [
    ([("i65", 1)], ValueError, "unknown type tag 'i65'"),
    ([("int", 1), "int"], ValueError, "schema entries must be"),
    ([("int",)], IndexError, "index out of range"),
    ([(1, 1)], TypeError, "type tag must be str"),
    ([("int", -1)], OverflowError, "negative"),
    ([("int", "1")], TypeError, "integer"),
    ((("int", 1),), TypeError, "'schema' must be list, not 'tuple'"),
])
@pytest.mark.parametrize("call", ["pop_many", "get_many"])
def test_a_bad_schema_raises_before_anything_is_taken(ring, schema, error, text, call):
    take = getattr(ring, call)
    with pytest.raises(error, match=re.escape(text)):
        take(5, schema=schema)  # an empty ring: get_many() raises instead of waiting
    ring.push_many([(1, 0.5, "a"), (2, 1.5, "b")])
    with pytest.raises(error, match=re.escape(text)):
        take(5, schema=schema)
    with pytest.raises(TypeError, match=rf"^{call}\(\) takes 'tag' or 'schema', not both$"):
        take(5, tag="int", schema=RECORD)
    assert ring.pop_many(5, schema=RECORD) == [[1, 0.5, "a"], [2, 1.5, "b"]]


def test_get_many_takes_what_is_there_up_to_max_messages(ring):
    with pytest.raises(TimeoutError, match=r"^get_many\(\) timed out after 0 s with no message$"):
        ring.get_many(5, 0)
    assert ring.get_many(0) == []  # returns at once, even with no timeout on an empty ring
    ring.push_many([1, 2, 3])
    assert ring.get_many(2, tag="int") == [1, 2]
    assert ring.get_many(0, 0) == [] and ring.get_many(9, timeout=1) == [(3).to_bytes(8, "little")]
    with pytest.raises(TypeError, match=r"at most 2 positional arguments"):
        ring.get_many(5, 1, "int")


def record(i):
    return (i, i / 4, f"r{i}" * (i % 5))


def produce_records(name, count):
    ring = SM.open(name).spsc()
    time.sleep(0.2)  # the consumer is waiting by now
    for start in range(0, count, 7):
        batch = [record(i) for i in range(start, min(start + 7, count))]
        for item in batch[ring.push_many(batch):]:
            ring.put(item, timeout=30)


def test_get_many_waits_for_a_producer_process(make_segment, mp_context):
    name, shm = make_segment(24 + 256)  # small: the producer meets back-pressure
    ring, count = shm.spsc(), 3000
    child = mp_context.Process(target=produce_records, args=(name, count))
    child.start()
    got = []
    try:
        while len(got) < count:
            batch = ring.get_many(50, timeout=30, schema=RECORD)
            assert 1 <= len(batch) <= 50
            got += batch
        child.join(30)
        assert child.exitcode == 0
    finally:
        if child.is_alive():
            child.kill()
            child.join()
    assert got == [list(record(i)) for i in range(count)]
    with pytest.raises(EOFError):                   # the producer has gone
        ring.get_many(5, timeout=30, schema=RECORD)


# --- loans ------------------------------------------------------------------------------------


def test_reserve_publishes_on_clean_exit_only(ring):
    with ring.reserve(5) as buf:
        assert (len(buf), buf.readonly) == (5, False)
        buf[:] = b"hello"
    with pytest.raises(KeyError):
        with ring.reserve(3) as buf:
            buf[:] = b"bad"
            raise KeyError
    assert ring.pop_many(9) == [b"hello"]
    with pytest.raises(ValueError, match="released"):
        buf[0]


def test_borrow_consumes_on_every_exit(ring):
    ring.push_many([b"one", b"two"])
    with ring.borrow() as buf:
        assert (bytes(buf), buf.readonly) == (b"one", True)
    with pytest.raises(KeyError):
        with ring.borrow():
            raise KeyError
    assert ring.pop() is None


@pytest.mark.parametrize("size", [1, 20, 55])
def test_loans_across_the_wrap_are_staged_and_exact(make_segment, size):
    name, shm = make_segment(24 + 64)
    ring = shm.spsc()
    for offset in range(0, 64, 7):  # every start position
        payload = bytes((offset + i) % 251 for i in range(size))
        with ring.reserve(size) as buf:
            buf[:] = payload
        with ring.borrow() as buf:
            assert bytes(buf) == payload
        ring.push(b"x" * 3)
        ring.pop()
    head, tail = counters(name)
    assert head == tail


@pytest.mark.parametrize("kind", ["reserve", "borrow"])
def test_an_export_kept_past_the_block_holds_the_loan_until_it_goes(ring, kind):
    ring.push(b"12345678")
    loan = ring.reserve(4) if kind == "reserve" else ring.borrow()
    with pytest.raises(BufferError, match="still exported"):
        with loan as buf:
            kept = memoryview(buf)[1:]
    same_role = (lambda: ring.push(b"z")) if kind == "reserve" else ring.pop
    with pytest.raises(RuntimeError, match=f"{kind}\\(\\) loan .* outstanding"):
        same_role()
    with pytest.raises(BufferError):
        ring.close()
    assert ring.used() == 12  # nothing published, nothing consumed
    del kept
    gc.collect()
    assert ring.pop() == b"12345678" and ring.push(b"z") and ring.pop() == b"z"


@pytest.mark.parametrize("kind", ["reserve", "borrow"])
def test_an_exception_from_the_block_is_not_hidden_by_an_export_its_traceback_keeps(ring, kind):
    ring.push(b"12345678")
    with pytest.raises(KeyError) as raised:
        with (ring.reserve(4) if kind == "reserve" else ring.borrow()) as buf:
            kept = memoryview(buf)  # noqa: F841 - alive in the traceback's frame
            raise KeyError("the block's own error")
    assert ring.used() == 12  # the loan waits for the export
    del raised, kept
    gc.collect()
    assert ring.pop_many(5) == ([b"12345678"] if kind == "reserve" else [])


def test_loans_of_one_role_do_not_nest_but_roles_are_independent(ring):
    ring.push(b"msg")
    with ring.reserve(2) as out:
        with pytest.raises(RuntimeError, match=r"reserve\(\) loan"):
            with ring.reserve(1):
                pass
        with ring.borrow() as incoming:
            out[:] = bytes(incoming[:2])
    assert ring.pop() == b"ms"


def _reserve_in_child(name, count):
    ring = SM.open(name).spsc()
    for i in range(count):
        with ring.reserve(4 + i % 30, timeout=30) as buf:
            buf[:] = i.to_bytes(4, "little") + bytes(i % 30)


def test_loans_between_real_processes(mp_context, make_segment):
    name, shm = make_segment(24 + 128)
    ring = shm.spsc()
    producer = mp_context.Process(target=_reserve_in_child, args=(name, 500))
    producer.start()
    for i in range(500):
        with ring.borrow(timeout=30) as buf:
            assert bytes(buf) == i.to_bytes(4, "little") + bytes(i % 30)
    producer.join(30)
    assert producer.exitcode == 0


# --- close ------------------------------------------------------------------------------------


def test_close_is_idempotent_and_everything_else_then_refuses(make_segment):
    _, shm = make_segment(24 + 64)
    with shm.map() as view, shm.spsc() as ring:
        pass
    for obj, cls in ((view, "MappedView"), (ring, "SpscRingBuffer")):
        assert obj.closed() and obj.close() is None and repr(obj) == f"{cls}(closed=true)"
        members = [n for n in vars(type(obj)) if not n.startswith("_") and n not in ("close", "closed", "select", "create", "open", "aselect")]
        for member in members:
            with pytest.raises(ValueError, match=f"^{cls} is closed$"):
                getattr(obj, member)(*{"read": ["u8"], "read_range": [0, 1], "write": [b"x"], "read_mixed": [[]],
                                       "write_mixed": [[1]], "set_lock_timeout": [None], "push": [b"x"],
                                       "put": [b"x"], "pop_mixed": [[]], "get_mixed": [[]], "pop_into": [bytearray(1)],
                                       "get_into": [bytearray(1)], "push_many": [[]], "pop_many": [1], "get_many": [1],
                                       "reserve": [1], "claim_role": ["producer"], "put_array": [[1.0]],
                                       "reserve_array": [1, "f8"], "aget_mixed": [[]], "aget_into": [bytearray(1)],
                                       "aput": [b"x"], "areserve": [1]}.get(member, []))
        with pytest.raises(ValueError):
            obj.__enter__()
    with pytest.raises(ValueError, match="closed"):
        Ring.select([ring])


def test_close_waits_for_a_long_copy_in_another_thread(make_segment):
    _, shm = make_segment(4 + (16 << 20))
    view = shm.map()
    copies = []

    def read():
        try:
            copies.append(len(view.read_all()))
        except ValueError:  # closed before the read began
            pass

    reader = threading.Thread(target=read)
    reader.start()
    view.close()  # waits for the copy if it is under way; the read may also come too late
    reader.join(30)
    assert copies in ([16 << 20], [])


# --- a property: every path against a model ---------------------------------------------------

PAYLOADS = st.binary(min_size=0, max_size=40)
STEPS = st.lists(st.one_of(
    st.tuples(st.sampled_from(["push", "put", "reserve"]), PAYLOADS),
    st.tuples(st.just("push_many"), st.lists(PAYLOADS, max_size=6)),
    st.tuples(st.sampled_from(["pop", "get", "pop_into", "borrow"]), st.none()),
    st.tuples(st.just("pop_many"), st.integers(0, 6)),
), max_size=60)


# The segment is made afresh (a creator's spsc() writes an empty header) for every example.
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(STEPS)
def test_every_path_agrees_with_a_model_of_the_ring(seg_name, steps):
    ring = SM.create(seg_name, 24 + 64).spsc()
    model, capacity = [], 64

    def room(payload):
        return sum(4 + len(m) for m in model) + 4 + len(payload) <= capacity

    for op, arg in steps:
        if op == "push_many":
            written = 0
            for m in arg:
                if not room(m):
                    break
                model.append(m)
                written += 1
            assert ring.push_many(arg) == written
        elif op in ("push", "put", "reserve"):
            fits = room(arg)
            if op == "push":
                assert ring.push(arg) == fits
            elif op == "put":
                if fits:
                    ring.put(arg, timeout=0)
                else:
                    with pytest.raises(TimeoutError):
                        ring.put(arg, timeout=0)
            elif fits:
                with ring.reserve(len(arg), timeout=0) as buf:
                    buf[:] = arg
            else:
                with pytest.raises(TimeoutError):
                    ring.reserve(len(arg), timeout=0).__enter__()
            if fits:
                model.append(arg)
        elif op == "pop_many":
            assert ring.pop_many(arg) == model[:arg]
            del model[:arg]
        else:
            expected = model.pop(0) if model else None
            if op == "pop":
                assert ring.pop() == expected
            elif op == "get":
                if expected is None:
                    with pytest.raises(TimeoutError):
                        ring.get(timeout=0)
                else:
                    assert ring.get(timeout=0) == expected
            elif op == "pop_into":
                into = bytearray(64)
                n = ring.pop_into(into)
                assert (None if n is None else bytes(into[:n])) == expected
            elif expected is None:
                with pytest.raises(TimeoutError):
                    ring.borrow(timeout=0).__enter__()
            else:
                with ring.borrow(timeout=0) as buf:
                    assert bytes(buf) == expected
        assert ring.used() == sum(4 + len(m) for m in model)
