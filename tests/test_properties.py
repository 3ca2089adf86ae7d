"""Property tests: the codec against Python's struct as an oracle, and the ring and the view
against plain Python models, over generated values and operation sequences."""

import collections
import struct

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import kelparine
from conftest import remove_quietly, unique_name

SM = kelparine.SharedMemory
FAST = settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])

i64s = st.integers(-(1 << 63), (1 << 63) - 1)
floats = st.floats(allow_nan=True, allow_infinity=True)
texts = st.text(max_size=40)
values = st.one_of(st.booleans(), i64s, floats, texts, st.binary(max_size=40))

# The fixed-width tags and their struct formats; "int"/"float" are synonyms.
FORMATS = {"u8": "<B", "bool": "<?", "i32": "<i", "u32": "<I", "f32": "<f",
           "i64": "<q", "int": "<q", "u64": "<Q", "f64": "<d", "float": "<d"}
TAGS = list(FORMATS) + ["str"]
DATA_SIZE = 512


@pytest.fixture(scope="module")
def view():
    name = unique_name("prop-view")
    shm = SM.create(name, 4 + DATA_SIZE)
    yield shm.map()
    remove_quietly(name)


def encode(value):
    """The oracle encoding of one value, from struct alone."""
    if type(value) is bool:
        return struct.pack("<?", value)
    if isinstance(value, int):
        return struct.pack("<q", value)
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, str):
        raw = value.encode("utf-8")
        return struct.pack("<I", len(raw)) + raw
    return bytes(value)


def decode(data, tag):
    """The oracle decoding: (value, bytes consumed), or None when the data is too short."""
    if tag == "str":
        if len(data) < 4:
            return None
        (n,) = struct.unpack_from("<I", data)
        if len(data) < 4 + n:
            return None
        return data[4:4 + n].decode("utf-8", "replace"), 4 + n
    size = struct.calcsize(FORMATS[tag])
    if len(data) < size:
        return None
    if tag == "bool":
        return data[0] != 0, 1
    return struct.unpack_from(FORMATS[tag], data)[0], size


def same(a, b):
    """Equal values, with floats compared bit for bit (NaN payloads included)."""
    if isinstance(a, float) and isinstance(b, float):
        return struct.pack("<d", a) == struct.pack("<d", b)
    return type(a) is type(b) and a == b


# ---------------------------------------------------------------------------------------------
# Codec against struct


@FAST
@given(value=values)
def test_write_produces_the_struct_encoding_and_reads_back(view, value):
    expected = encode(value)
    assume(expected)  # empty bytes cannot be written
    view.zero()
    view.seek()
    view.write(value)
    assert view.tell() == len(expected)
    assert view.read_range(0, len(expected)) == expected
    tag = {bool: "bool", int: "int", float: "float", str: "str"}.get(type(value))
    if tag is not None:
        view.seek()
        assert same(view.read(tag), value)
        assert view.tell() == len(expected)


@FAST
@given(data=st.binary(min_size=1, max_size=64), tag=st.sampled_from(TAGS), at=st.integers(0, 16))
def test_every_tag_decodes_foreign_bytes_as_struct_does(view, data, tag, at):
    # Bytes another program wrote: the reader's narrower and unsigned tags included.
    view.zero()
    view.write(data, DATA_SIZE - len(data))
    start = DATA_SIZE - len(data) + min(at, len(data))
    view.seek(start)
    expected = decode(view.read_range(start, DATA_SIZE - start) if start < DATA_SIZE else b"", tag)
    if expected is None:
        with pytest.raises(ValueError, match=r"^not enough data to read"):
            view.read(tag)
        assert view.tell() == start
    else:
        assert same(view.read(tag), expected[0])
        assert view.tell() == start + expected[1]


@FAST
@given(payload=st.binary(max_size=40))
def test_str_decoding_replaces_ill_formed_utf8_as_python_does(view, payload):
    view.write(struct.pack("<I", len(payload)) + payload, 0)
    view.seek()
    assert view.read("str") == payload.decode("utf-8", "replace")


entries = st.one_of(values, st.lists(values, max_size=4))


def flatten(items):
    for item in items:
        yield from (item if isinstance(item, list) else [item])


@FAST
@given(items=st.lists(entries, max_size=6))
def test_write_mixed_is_the_concatenation_of_the_encodings(view, items):
    expected = b"".join(encode(v) for v in flatten(items))
    assume(0 < len(expected) <= DATA_SIZE)
    view.write_mixed(items, 0)
    assert view.read_range(0, len(expected)) == expected
    # Read back with the schema that matches, unless raw bytes (which carry no length) are in it.
    flat = list(flatten(items))
    if not any(isinstance(v, bytes) for v in flat):
        tag = {bool: "bool", int: "i64", float: "f64", str: "str"}
        schema = [(tag[type(v)], 1) for v in flat]
        view.seek()
        result = view.read_mixed(schema)
        assert len(result) == len(flat) and all(same(a, b) for a, b in zip(result, flat))
        assert view.tell() == len(expected)


def decode_mixed(data, schema):
    """The oracle typed-list decoder: the result list, or the exact out-of-bounds message."""
    result, cursor = [], 0
    for tag, count in schema:
        decoded = []
        for _ in range(count):
            width = 4 if tag == "str" else struct.calcsize(FORMATS[tag])
            if cursor + width > len(data):
                return f"out of bounds: cursor={cursor} + needed={width} > data_len={len(data)}"
            if tag == "str":
                (n,) = struct.unpack_from("<I", data, cursor)
                if cursor + 4 + n > len(data):
                    return f"out of bounds: cursor={cursor + 4} + needed={n} > data_len={len(data)}"
            value, size = decode(data[cursor:], tag)
            decoded.append(value)
            cursor += size
        result.append(decoded[0] if count == 1 else decoded)
    return result


@FAST
@given(data=st.binary(min_size=1, max_size=48),
       schema=st.lists(st.tuples(st.sampled_from(TAGS), st.integers(0, 5)), max_size=5))
def test_read_mixed_matches_an_entry_by_entry_struct_decode(view, data, schema):
    # The data ends where the data area ends, so the decoder's range is exactly these bytes.
    offset = DATA_SIZE - len(data)
    view.write(data, offset)
    expected = decode_mixed(data, schema)
    if isinstance(expected, str):
        with pytest.raises(ValueError) as caught:
            view.read_mixed(schema, offset)
        assert str(caught.value) == expected
        return
    result = view.read_mixed(schema, offset)
    assert len(result) == len(expected)
    for got, want in zip(result, expected):
        if isinstance(want, list):
            assert len(got) == len(want) and all(same(a, b) for a, b in zip(got, want))
        else:
            assert same(got, want)


@FAST
@given(writes=st.lists(st.tuples(st.integers(0, DATA_SIZE), st.binary(min_size=1, max_size=64)), max_size=12))
def test_view_matches_a_bytearray_model(view, writes):
    view.zero()
    model = bytearray(DATA_SIZE)
    for offset, data in writes:
        if offset + len(data) > DATA_SIZE:
            with pytest.raises(ValueError, match=r"^out of bounds: offset="):
                view.write(data, offset)
        else:
            view.write(data, offset)
            model[offset:offset + len(data)] = data
    assert view.read_all() == bytes(model)
    assert (view.reader_count(), view.is_write_locked()) == (0, False)


# ---------------------------------------------------------------------------------------------
# The ring against a model queue


class RingModel(RuleBasedStateMachine):
    """A producer and a consumer instance over one small ring, checked against a deque of the
    payloads in flight: wrap-around, full and empty rings, tagged pops and re-initialisation."""

    def __init__(self):
        super().__init__()
        self.name = unique_name("prop-ring")
        self.queue = collections.deque()

    @initialize(capacity=st.sampled_from([16, 64, 128]))
    def create(self, capacity):
        self.capacity = capacity
        self.shm = SM.create(self.name, 24 + capacity)
        self.producer = self.shm.spsc()
        self.consumer = SM.open(self.name).spsc()

    def teardown(self):
        remove_quietly(self.name)

    def used(self):
        return sum(4 + len(p) for p in self.queue)

    def push(self, payload):
        frame = len(payload) + 4
        if frame > self.capacity:
            message = (f"message too large: frame_len={frame} > capacity={self.capacity}"
                       f"                  (map_size={24 + self.capacity})")
            with pytest.raises(ValueError) as caught:
                self.producer.push(payload)
            assert str(caught.value) == message
        elif self.used() + frame > self.capacity:
            assert self.producer.push(payload) is False
        else:
            assert self.producer.push(payload) is True
            self.queue.append(bytes(payload))

    @rule(payload=st.binary(max_size=70))
    def push_bytes(self, payload):
        self.push(payload)

    @precondition(lambda self: self.capacity - self.used() >= 4)
    @rule(fill=st.booleans())
    def push_to_the_last_byte(self, fill):
        # Exactly the free space, or one byte more than fits.
        self.push(b"\xa5" * (self.capacity - self.used() - 4 + (0 if fill else 1)))

    @rule(value=st.one_of(i64s, floats, texts.filter(lambda t: len(t.encode()) <= 8)))
    def push_value(self, value):
        self.push(encode(value))

    @rule()
    def pop(self):
        expected = self.queue.popleft() if self.queue else None
        assert self.consumer.pop() == expected

    @rule(tag=st.sampled_from(TAGS))
    def pop_with_tag(self, tag):
        if not self.queue:
            assert self.consumer.pop(tag) is None
            return
        expected = decode(self.queue.popleft(), tag)  # consumed whether or not it decodes
        if expected is None:
            with pytest.raises(ValueError, match=r"^not enough data to read"):
                self.consumer.pop(tag)
        else:
            assert same(self.consumer.pop(tag), expected[0])

    @rule(count=st.integers(0, 12))
    def pop_mixed_bytes(self, count):
        if not self.queue:
            assert self.consumer.pop_mixed([("u8", count)]) is None
            return
        payload = self.queue.popleft()
        if count > len(payload):
            with pytest.raises(ValueError, match=r"^out of bounds: cursor="):
                self.consumer.pop_mixed([("u8", count)])
        else:
            expected = list(payload[:count]) if count != 1 else payload[0]
            assert self.consumer.pop_mixed([("u8", count)]) == [expected]

    @rule()
    def reinitialise(self):
        # The creator's spsc() again: an empty ring, every pending message dropped; the
        # instances made before keep working on the same segment.
        self.shm.spsc()
        self.queue.clear()

    @invariant()
    def views_agree_with_the_model(self):
        if not hasattr(self, "capacity"):
            return
        used = self.used()
        for ring in (self.producer, self.consumer):
            assert ring.used() == used
            assert ring.free() == self.capacity - used
            assert ring.is_empty() is (used == 0)
            assert ring.is_full() is (used == self.capacity)
        assert repr(self.consumer) == f"SpscRingBuffer(capacity={self.capacity}, used={used}, free={self.capacity - used})"


TestRingModel = RingModel.TestCase
TestRingModel.settings = settings(max_examples=60, stateful_step_count=50, deadline=None,
                                  suppress_health_check=[HealthCheck.too_slow])


@FAST
@given(value=values)
def test_push_then_pop_with_the_matching_tag_gives_the_value_back(value):
    name = unique_name("prop-rt")
    try:
        ring = SM.create(name, 24 + 128).spsc()
        assert ring.push(value)
        tag = {bool: "bool", int: "int", float: "float", str: "str"}.get(type(value))
        if tag is None:
            assert ring.pop() == bytes(value)
        else:
            assert same(ring.pop(tag), value)
        assert ring.used() == 0
    finally:
        remove_quietly(name)
