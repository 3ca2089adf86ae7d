"""Reading kelparine segments from plain Python: mmap and struct, no kelparine.

The byte layouts inside a segment are the contract between processes, so a program that
follows them interoperates without this module (a C, Rust or Go program would do the same).
This script starts a producer process that uses kelparine to fill a locked view and a ring,
then reads both with the code below, which never imports kelparine, and finally lets
kelparine confirm that the plain consumer left the ring in a consistent, empty state.

Locked view:   byte 0: i32 lock word (0 free, n > 0 readers, -1 writer); byte 4: data area
Ring:          byte 0: u64 head; 8: u64 tail; 16: u64 capacity (power of two); 24: data
Ring frame:    u32 payload length n, then n bytes; position p is at data[p & (capacity - 1)],
               and a frame may wrap anywhere, even inside its length prefix
Values:        little-endian; bool 1 byte, int 8 (signed), float 8 (binary64),
               str = u32 byte count + UTF-8, raw bytes without a length

Plain Python has no atomic compare-exchange, acquire load or release store on shared memory.
It therefore cannot take the view's lock or consume a ring while the producer is running; it
reads here after the producer has exited, and checks that no hold is in force. A concurrent
reader in another language takes the lock with a 32-bit compare-exchange (Acquire) and, for
the ring, loads tail with acquire ordering and stores head with release ordering.

    PYTHONPATH=build /usr/bin/python3 examples/plain_reader.py
"""

import argparse
import mmap
import os
import struct
import subprocess
import sys

from _cleanup import exit_on_sigterm

SHM_DIR = "/dev/shm"  # where Linux keeps POSIX shared memory objects


# ---------------------------------------------------------------------------------------------
# The value codec, as documented

_FIXED = {
    "u8": "<B",
    "bool": "<?",
    "i32": "<i",
    "u32": "<I",
    "f32": "<f",
    "i64": "<q",
    "int": "<q",
    "u64": "<Q",
    "f64": "<d",
    "float": "<d",
}


def decode(buf, pos, tag):
    """Decodes one value at `pos` of `buf`; returns (value, next position)."""
    if tag == "str":
        (n,) = struct.unpack_from("<I", buf, pos)
        if pos + 4 + n > len(buf):
            raise ValueError(f"str of {n} bytes runs past the end")
        return bytes(buf[pos + 4 : pos + 4 + n]).decode("utf-8", errors="replace"), pos + 4 + n
    fmt = _FIXED[tag]
    (value,) = struct.unpack_from(fmt, buf, pos)
    if tag == "bool":
        value = buf[pos] != 0  # any nonzero byte is True
    return value, pos + struct.calcsize(fmt)


def decode_schema(buf, pos, schema):
    """Decodes (tag, count) entries: a bare value for count 1, else a list."""
    result = []
    for tag, count in schema:
        values = []
        for _ in range(count):
            value, pos = decode(buf, pos, tag)
            values.append(value)
        result.append(values[0] if count == 1 else values)
    return result, pos


# ---------------------------------------------------------------------------------------------
# Segments


def map_segment(name):
    """Maps the whole segment `name` ("/something") read-write, as kelparine does."""
    fd = os.open(SHM_DIR + name, os.O_RDWR)
    try:
        return mmap.mmap(fd, os.fstat(fd).st_size)  # MAP_SHARED, PROT_READ | PROT_WRITE
    finally:
        os.close(fd)  # the mapping stays valid


class PlainView:
    """A locked-view segment, read while no other process writes it."""

    def __init__(self, name):
        self.mm = map_segment(name)
        self.data = memoryview(self.mm)[4:]

    def lock_word(self):
        return struct.unpack_from("<i", self.mm, 0)[0]

    def read_mixed(self, offset, schema):
        word = self.lock_word()
        if word != 0:
            state = "a writer" if word == -1 else f"{word} readers" if word > 0 else f"invalid value {word}"
            raise RuntimeError(f"the lock word shows {state}; plain Python cannot wait for it")
        return decode_schema(self.data, offset, schema)[0]

    def close(self):
        self.data.release()
        self.mm.close()


class PlainRing:
    """The consumer side of a ring, for a moment when its producer is not running."""

    HEADER = struct.Struct("<QQQ")  # head, tail, capacity

    def __init__(self, name):
        self.mm = map_segment(name)
        head, tail, capacity = self.HEADER.unpack_from(self.mm, 0)
        # Refuse a header that cannot be a ring's: everything below relies on it.
        if capacity == 0 or capacity & (capacity - 1) or capacity > len(self.mm) - 24:
            raise ValueError(f"capacity {capacity} is not a power of two within the segment")
        if not 0 <= (tail - head) % 2**64 <= capacity:
            raise ValueError(f"head {head} and tail {tail} do not fit a capacity of {capacity}")
        self.capacity = capacity

    def _read(self, position, length):
        # Byte p of the stream lives at 24 + (p mod capacity): copy in at most two runs.
        start = 24 + position % self.capacity
        first = min(length, 24 + self.capacity - start)
        return self.mm[start : start + first] + self.mm[24 : 24 + length - first]

    def pop(self):
        """The next payload as bytes, or None when the ring is empty."""
        head, tail = struct.unpack_from("<QQ", self.mm, 0)
        if head == tail:
            return None
        (n,) = struct.unpack("<I", self._read(head, 4))
        if 4 + n > (tail - head) % 2**64:
            raise ValueError(f"frame of {n} bytes at {head} runs past tail {tail}")
        payload = self._read(head + 4, n)
        # Free the frame for the producer: head moves past it (the counters wrap at 2**64).
        struct.pack_into("<Q", self.mm, 0, (head + 4 + n) % 2**64)
        return payload

    def close(self):
        self.mm.close()


# ---------------------------------------------------------------------------------------------
# The kelparine side, run in child processes


def produce(view_name, ring_name):
    import kelparine

    view = kelparine.SharedMemory.create(view_name, 4 + 256).map()
    view.write_mixed([3, "greenhouse sensors"], 0)
    for i in range(3):
        view.write_mixed([i, 20.5 + i, i % 2 == 0, f"bed-{i}"], 64 + 32 * i)

    ring_shm = kelparine.SharedMemory.create(ring_name, 24 + 64)
    ring = ring_shm.spsc()
    # Move head and tail to 62 so that the next frame's length prefix wraps: bytes 62, 63, 0, 1.
    ring.push(bytes(58))
    ring.pop()
    ring.push(1)  # 8-byte int
    ring.push("hé")  # 3 UTF-8 bytes after the count
    ring.push([7, 2.5, True, "ok"])
    ring.push(b"raw")


def check(view_name, ring_name):
    import kelparine

    ring = kelparine.SpscRingBuffer.open(ring_name)
    assert ring.is_empty() and ring.used() == 0, repr(ring)
    ring.push(b"after")  # the producer carries on where the plain consumer left head
    assert ring.pop() == b"after"
    print(f"kelparine agrees: {ring!r}")
    kelparine.SharedMemory.remove(view_name)
    kelparine.SharedMemory.remove(ring_name)


# ---------------------------------------------------------------------------------------------


def run_child(*args):
    subprocess.run([sys.executable, os.path.abspath(__file__), *args], check=True, timeout=60)


def main():
    if len(sys.argv) == 4 and sys.argv[1] in ("--produce", "--check"):  # the child processes
        (produce if sys.argv[1] == "--produce" else check)(*sys.argv[2:])
        return 0
    argparse.ArgumentParser(description=__doc__.splitlines()[0]).parse_args()
    exit_on_sigterm()

    view_name, ring_name = f"/kelparine-plain-view-{os.getpid()}", f"/kelparine-plain-ring-{os.getpid()}"
    try:
        run_child("--produce", view_name, ring_name)  # fills both, then exits

        view = PlainView(view_name)
        count, title = view.read_mixed(0, [("i64", 1), ("str", 1)])
        print(f"view: {title!r}, {count} records")
        for i in range(count):
            bed, temperature, watered, label = view.read_mixed(
                64 + 32 * i, [("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)]
            )
            print(f"  record {bed}: {label} {temperature} C watered={watered}")
            assert (bed, temperature, watered, label) == (i, 20.5 + i, i % 2 == 0, f"bed-{i}")
        view.close()

        ring = PlainRing(ring_name)
        messages = []
        while (payload := ring.pop()) is not None:
            messages.append(payload)
        ring.close()
        one = decode(messages[0], 0, "int")[0]
        text = decode(messages[1], 0, "str")[0]
        record = decode_schema(messages[2], 0, [("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)])[0]
        print(f"ring: {one!r}, {text!r}, {record!r}, {messages[3]!r}")
        assert (one, text, record, messages[3]) == (1, "hé", [7, 2.5, True, "ok"], b"raw"), messages

        run_child("--check", view_name, ring_name)  # removes both segments
    finally:
        for name in (view_name, ring_name):
            try:
                os.unlink(SHM_DIR + name)  # what shm_unlink does on Linux
            except FileNotFoundError:
                pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
