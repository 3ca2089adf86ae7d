"""Runs N calls of each hot-path operation, one phase after another, for instr_suite.py to
count under callgrind. Each phase is preceded and the last one followed by a call of
os.getppid(): callgrind is started with --dump-before=getppid, so every phase lands in a dump
file of its own. Nothing else in this script calls getppid.

    python instr_probe.py CALLS     (prints the phase names, one per line, in order)
"""

import mmap
import os
import struct
import sys

import kelparine

import pyring

PAYLOAD = bytes(range(64))
OFFSET = 4096


def main():
    calls = int(sys.argv[1])
    assert calls * (4 + len(PAYLOAD)) <= 4 * 1024 * 1024, "the push phases must never find the ring full"
    tag = f"/kelparine-bench-{os.getpid()}"
    ring_shm = kelparine.SharedMemory.create(tag + "-ring", 24 + 4 * 1024 * 1024)
    view_shm = kelparine.SharedMemory.create(tag + "-view", 4 + 1024 * 1024)
    # The stdlib peers work on an anonymous shared mapping: the same memoryview-over-mmap as
    # multiprocessing.shared_memory's .buf, without its close() bookkeeping.
    peer = mmap.mmap(-1, 24 + 4 * 1024 * 1024)
    try:
        ring, view = ring_shm.spsc(), view_shm.map()
        buf = memoryview(peer)
        pyring.initialise(buf)
        namespace = {
            "push": ring.push, "pop": ring.pop, "read_range": view.read_range, "write": view.write,
            "read": view.read, "seek": view.seek, "data": PAYLOAD, "off": OFFSET, "buf": buf,
            "unpack_from": struct.unpack_from, "py_push": pyring.make_push(buf),
            "py_pop": pyring.make_pop(buf),
            "put": ring.put, "get": ring.get, "push_many": ring.push_many, "pop_many": ring.pop_many,
            "batch": [PAYLOAD] * 64,
        }
        # (phase, statement, run once before the loop). Each push phase fills the ring with
        # `calls` messages for the pop phase after it; read() walks the cursor from 0.
        phases = [
            ("empty loop", "pass", "pass"),
            ("kelparine push 64 B", "push(data)", "pass"),
            ("kelparine pop 64 B", "pop()", "pass"),
            ("kelparine read_range(off, 64)", "read_range(off, 64)", "pass"),
            ("kelparine write(64 B, off)", "write(data, off)", "pass"),
            ("kelparine read('i64')", "read('i64')", "seek(0)"),
            # Pairs that leave the ring empty: the cost of the blocking calls' wake-up checks,
            # and of one batch of 64 (divide by 64 for a message).
            ("kelparine push + pop 64 B", "push(data); pop()", "pass"),
            ("kelparine put + get 64 B", "put(data); get()", "pass"),
            ("kelparine push_many + pop_many, 64 x 64 B", "push_many(batch); pop_many(64)", "pass"),
            ("pure-Python ring push 64 B", "py_push(data)", "pass"),
            ("pure-Python ring pop 64 B", "py_pop()", "pass"),
            ("stdlib bytes(buf[off:off+64])", "bytes(buf[off:off + 64])", "pass"),
            ("stdlib buf[off:off+64] = data", "buf[off:off + 64] = data", "pass"),
            ("stdlib struct.unpack_from('<q', buf, off)", "unpack_from('<q', buf, off)", "pass"),
        ]
        loops = []
        for _, statement, before in phases:
            code = (f"def loop(items):\n    {before}\n    for _ in items:\n        {statement}\n")
            scope = dict(namespace)
            exec(code, scope)
            loops.append(scope["loop"])
        warm, items = [None] * 64, [None] * calls
        for loop in loops:
            loop(warm)  # specialises the bytecode; each push phase is followed by its pop phase
        for loop in loops:
            os.getppid()
            loop(items)
        os.getppid()
        assert ring.is_empty() and pyring.make_pop(buf)() is None, "every push was popped again"
        for name, _, _ in phases:
            print(name)
    finally:
        for name in (tag + "-ring", tag + "-view"):
            kelparine.SharedMemory.remove(name)


if __name__ == "__main__":
    main()
