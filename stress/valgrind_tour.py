"""A short walk through every member of the three classes, success and failure paths, for
Valgrind's memcheck (scripts/sanitize.sh): any invalid read or write, or use of uninitialised
memory, in the module shows up against this script."""

import os
import struct

import kelparine

SM = kelparine.SharedMemory
SpscRingBuffer = kelparine.SpscRingBuffer
PREFIX = f"/kelparine-valgrind-{os.getpid()}"


def expect(exception, call, *args):
    try:
        call(*args)
    except exception:
        return
    raise AssertionError(f"{call!r}{args!r} did not raise {exception.__name__}")


def tour_shared_memory():
    name = PREFIX + "-shm"
    shm = SM.create(name, 4 + 256)
    assert shm.name() == name and shm.size() == 260
    assert repr(shm) == f"SharedMemory(name='{name}', size=260, role=creator)"
    opened = SM.open(name, size=None)
    assert opened.size() == 260 and "role=opener" in repr(opened)
    expect(ValueError, SM.create, "bad", 1)
    expect(ValueError, SM.create, name, 0)
    expect(OSError, SM.create, "/a\0b", 8)
    expect(OSError, SM.create, PREFIX + "-huge", 1 << 63)
    expect(OSError, SM.open, PREFIX + "-missing")
    expect(TypeError, SM.open, name, "x")
    expect(ValueError, shm.spsc)
    expect(ValueError, SM.create(PREFIX + "-tiny", 4).map)
    SM.remove(PREFIX + "-tiny")
    expect(OSError, SM.remove, PREFIX + "-tiny")
    return name, shm, opened


def tour_view(shm, opened):
    view = shm.map()
    peer = opened.map()
    assert view.size() == 256 and view.tell() == 0
    view.write(b"raw bytes")
    view.write(bytearray(b"ba"), 20)
    view.write(True)
    view.write(-5)
    view.write(2.5)
    view.write("héllo")
    view.write_mixed([1, [2.5, False], "x", b"yz"], 100)
    view.seek()
    assert peer.read_range(0, 9) == b"raw bytes"
    peer.seek(9)
    assert [peer.read(tag) for tag in ("bool", "int", "float", "str")] == [True, -5, 2.5, "héllo"]
    for tag in ("u8", "i32", "u32", "f32", "i64", "u64", "f64"):
        peer.seek(9)
        peer.read(tag)
    assert peer.read_mixed([("i64", 1), ("f64", 1), ("bool", 1), ("str", 1), ("u8", 2)], 100) == [1, 2.5, False, "x", [121, 122]]
    assert len(peer.read_all()) == 256
    assert peer.reader_count() == 0 and not peer.is_write_locked()
    assert repr(peer) == "MappedView(data_size=256, readers=0, write_locked=false)"
    # Ill-formed UTF-8 is replaced, not refused.
    view.write(struct.pack("<I", 3) + b"\xff\xfeA", 200)
    view.seek(200)
    assert view.read("str") == "\ufffd\ufffdA"
    expect(ValueError, view.read_range, 250, 10)
    expect(ValueError, view.write, None)
    expect(ValueError, view.write_mixed, [1, None])
    expect(ValueError, view.read_mixed, [("str", 1)], 254)
    expect(ValueError, view.read_mixed, [("bogus", 0)])
    expect(IndexError, view.read_mixed, [("u8",)])
    expect(ValueError, view.seek, 257)
    view.seek(256)
    expect(ValueError, view.read, "int")
    view.zero()
    assert peer.read_all() == bytes(256)


def tour_ring():
    name = PREFIX + "-ring"
    ring = SM.create(name, 24 + 128).spsc()
    consumer = SM.open(name).spsc()
    assert ring.push(b"abc") and ring.push(bytearray(b"de")) and ring.push([1, 2.5, True, "hi"])
    assert ring.push(7) and ring.push("s") and ring.push(b"")
    assert not ring.push(b"x" * 60)
    assert (ring.used(), ring.capacity(), ring.free(), ring.is_empty(), ring.is_full()) == (65, 128, 63, False, False)
    assert repr(ring) == "SpscRingBuffer(capacity=128, used=65, free=63)"
    assert consumer.pop() == b"abc" and consumer.pop("u8") == ord("d")
    assert consumer.pop_mixed([("i64", 1), ("f64", 1), ("bool", 1), ("str", 1)]) == [1, 2.5, True, "hi"]
    assert consumer.pop("int") == 7 and consumer.pop(tag="str") == "s" and consumer.pop() == b""
    assert consumer.pop() is None and consumer.pop_mixed([]) is None
    # Frames that wrap around the end of the data area, including inside the length prefix.
    for size in range(0, 125, 11):
        assert ring.push(bytes([size]) * size)
        assert consumer.pop() == bytes([size]) * size
    expect(ValueError, ring.push, b"x" * 125)
    expect(ValueError, ring.push, None)
    ring.push(b"\x01")
    expect(ValueError, consumer.pop, "int")
    ring.push(b"\x01")
    expect(ValueError, consumer.pop_mixed, [("u8", 2)])
    expect(TypeError, consumer.pop, 5)
    SM.remove(name)


def tour_waits_bulk_and_handles():
    """The members that wait, batch, lend ring memory, close and pickle."""
    import array
    import pickle

    name = PREFIX + "-bulk"
    with SM.create(name, 24 + 128, 0o600) as shm, shm.spsc() as ring:
        ring.put(b"p", timeout=1)
        assert ring.get(timeout=1) == b"p" and SpscRingBuffer.select([ring], timeout=0) == []
        expect(TimeoutError, ring.get, None, 0.01)
        assert ring.push_many([b"a", memoryview(b"bc"), array.array("i", [7]), (1, 2.5)]) == 4
        assert ring.pop_many(2) == [b"a", b"bc"]
        into = bytearray(16)
        assert ring.pop_into(into) == 4 and ring.get_into(into, timeout=1) == 16
        for size in range(0, 120, 13):  # loans in place and across the wrap (staged)
            with ring.reserve(size) as buf:
                buf[:] = bytes([size]) * size
            with ring.borrow() as buf:
                assert bytes(buf) == bytes([size]) * size
        again = pickle.loads(pickle.dumps(ring))
        again.push(b"z")
        assert ring.pop() == b"z"
        view = shm.map()
        view.set_lock_timeout(0.5)
        view.write(array.array("d", [1.5]), 0)
        assert view.read("f64") == 1.5 and pickle.loads(pickle.dumps(view)).read_range(0, 8) == view.read_range(0, 8)
        view.close()
        expect(ValueError, view.read_all)
    expect(FileExistsError, lambda: SM.create(name, 64, exclusive=True))
    SM.remove(name)


def main():
    try:
        name, shm, opened = tour_shared_memory()
        tour_view(shm, opened)
        SM.remove(name)
        tour_ring()
        tour_waits_bulk_and_handles()
    finally:
        for suffix in ("-shm", "-ring", "-tiny", "-bulk"):
            try:
                SM.remove(PREFIX + suffix)
            except OSError:
                pass
    print("valgrind tour: every member of SharedMemory, MappedView and SpscRingBuffer exercised")


if __name__ == "__main__":
    main()
