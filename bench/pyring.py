"""A single-producer / single-consumer ring written in plain Python over
multiprocessing.shared_memory, with kelparine's byte layout: a 24-byte header of u64 head,
tail and capacity, then a power-of-two data area of frames (u32 little-endian length, then
the payload), which may wrap anywhere.

This is what a careful user would write without kelparine, so the benchmark measures it as a
peer. The counters are read and written through memoryview.cast('Q'): an aligned 8-byte
element store is one plain machine store, and on x86-64 (total store order) stores are not
reordered with other stores nor loads with later stores, which gives the acquire/release
pairing the protocol needs without fences. It is not portable to weaker memory models.
"""

import struct

HEADER = 24
_LENGTH = struct.Struct("<I")


def initialise(buf):
    """Writes an empty header; `buf` covers the whole segment (24 + power-of-two bytes)."""
    capacity = len(buf) - HEADER
    if capacity <= 0 or capacity & (capacity - 1):
        raise ValueError(f"data capacity {capacity} is not a power of two")
    counters = buf[:HEADER].cast("Q")
    counters[0] = 0
    counters[1] = 0
    counters[2] = capacity
    counters.release()


def make_push(buf):
    """push(payload) -> True if written, False when the ring lacks room. Producer only."""
    counters = buf[:HEADER].cast("Q")
    capacity = counters[2]
    mask = capacity - 1
    data = buf[HEADER:HEADER + capacity]
    pack_length = _LENGTH.pack_into

    def push(payload):
        n = len(payload)
        frame = n + 4
        tail = counters[1]
        if tail - counters[0] + frame > capacity:  # head is the consumer's: loaded first
            if frame > capacity:
                raise ValueError(f"message too large: frame_len={frame} > capacity={capacity}")
            return False
        pos = tail & mask
        if pos + frame <= capacity:
            pack_length(data, pos, n)
            data[pos + 4:pos + frame] = payload
        else:  # the frame wraps: lay it out once, store it in two runs
            whole = _LENGTH.pack(n) + bytes(payload)
            first = capacity - pos
            data[pos:] = whole[:first]
            data[:frame - first] = whole[first:]
        counters[1] = tail + frame  # publishes the frame (store after the data stores)
        return True

    return push


def make_pop(buf):
    """pop() -> the oldest payload as bytes, or None when the ring is empty. Consumer only."""
    counters = buf[:HEADER].cast("Q")
    capacity = counters[2]
    mask = capacity - 1
    data = buf[HEADER:HEADER + capacity]
    unpack_length = _LENGTH.unpack_from

    def pop():
        head = counters[0]
        if head == counters[1]:  # tail is the producer's: loaded before any data
            return None
        pos = head & mask
        if pos + 4 <= capacity:
            n = unpack_length(data, pos)[0]
        else:
            n = int.from_bytes(bytes(data[pos:]) + bytes(data[:pos + 4 - capacity]), "little")
        start = (pos + 4) & mask
        end = start + n
        if end <= capacity:
            out = bytes(data[start:end])
        else:
            out = bytes(data[start:]) + bytes(data[:end - capacity])
        counters[0] = head + 4 + n  # frees the frame (store after the copy)
        return out

    return pop
