"""MappedView calls against the standard library doing the same work on a
multiprocessing.shared_memory segment, in one process, timeit style (ns per call).

Each kelparine call takes the segment's reader-writer lock, so the stdlib peers are measured
twice: bare (no protection against a concurrent writer at all) and with a
multiprocessing.Lock held around each access (the nearest stdlib equivalent of the lock).

How each pair is set up:
- read_range(off, 64) vs bytes(buf[off:off + 64]): both build a new 64-byte bytes object.
- write(data, off) vs buf[off:off + 64] = data: 64 bytes from a prebuilt bytes object.
- read('i64') vs struct.unpack_from('<q', buf, off): read() always works at the cursor, so
  the view is sought to 0 before each timed repeat and every call decodes the next 8 bytes
  (the loop count is capped so that the cursor stays inside the 1 MiB data area). The seek is
  thus amortised away; "seek + read" shows the cost of a seek(off) before every read.
- write_mixed / read_mixed with a 100-entry schema (i64, f64, bool repeated; 569 bytes) vs a
  precompiled struct.Struct of the equivalent format '<qd?qd?...q' (pack_into / unpack_from).
  Only fixed-width types: struct has no length-prefixed string, and decoding one by hand
  would make the peer slower for reasons that are not struct's.
- read_all() of a 1 MiB data area vs bytes(buf) of a 1 MiB shared_memory segment: both
  allocate a 1 MiB bytes object and fill it with one memcpy, so the difference is what the
  call and the lock cost on top of the copy. ctypes.memmove into a preallocated buffer is
  shown as well: the bare copy, with no allocation at all.
"""

import ctypes
import multiprocessing
import struct
from multiprocessing import shared_memory

import kelparine

from common import MiB, ns_per_op_group, remove_segment, segment_name

DATA_SIZE = MiB
OFFSET = 4096
SCHEMA_TYPES = (["i64", "f64", "bool"] * 34)[:100]
_FORMAT_OF = {"i64": "q", "f64": "d", "bool": "?"}
_SAMPLE_OF = {"i64": -1234567890123, "f64": 2.718281828, "bool": True}


def mixed_case(types):
    """(schema, items, struct.Struct) for a typed list of the given tags."""
    schema = [(t, 1) for t in types]
    items = [_SAMPLE_OF[t] for t in types]
    layout = struct.Struct("<" + "".join(_FORMAT_OF[t] for t in types))
    return schema, items, layout


# (key, what, kelparine statement, kelparine setup, stdlib statement, cursor-bound)
CASES = (
    ("read_range_64", "read_range(off, 64) vs bytes(buf[off:off+64])",
     "read_range(off, 64)", "pass", "bytes(buf[off:off + 64])", False),
    ("write_64", "write(64 B, off) vs buf[off:off+64] = data",
     "write(data, off)", "pass", "buf[off:off + 64] = data", False),
    ("read_i64", "read('i64') vs struct.unpack_from('<q', buf, off)",
     "read('i64')", "seek(0)", "unpack_from('<q', buf, off)", True),
    ("write_mixed_100", "write_mixed(100 items, 0) vs Struct.pack_into",
     "write_mixed(items, 0)", "pass", "pack_into(buf, 0, *items)", False),
    ("read_mixed_100", "read_mixed(100-entry schema, 0) vs Struct.unpack_from",
     "read_mixed(schema, 0)", "pass", "unpack_mixed(buf, 0)", False),
    ("read_all_1MiB", "read_all() of 1 MiB vs bytes(buf) of 1 MiB",
     "read_all()", "pass", "bytes(buf)", False),
)


def run(settings, log):
    name = segment_name("view")
    shm = kelparine.SharedMemory.create(name, 4 + DATA_SIZE)
    peer = shared_memory.SharedMemory(create=True, size=DATA_SIZE)
    try:
        view = shm.map()
        schema, items, layout = mixed_case(SCHEMA_TYPES)
        data = bytes(range(64))
        view.write_mixed(items, 0)
        layout.pack_into(peer.buf, 0, *items)
        namespace = {
            "read_range": view.read_range, "write": view.write, "read": view.read, "seek": view.seek,
            "read_mixed": view.read_mixed, "write_mixed": view.write_mixed, "read_all": view.read_all,
            "buf": peer.buf, "off": OFFSET, "data": data, "schema": schema, "items": items,
            "unpack_from": struct.unpack_from, "pack_into": layout.pack_into,
            "unpack_mixed": layout.unpack_from, "lock": multiprocessing.Lock(),
        }
        # The bare copy: ctypes.memmove of 1 MiB into a buffer allocated once.
        source = ctypes.c_char.from_buffer(peer.buf)
        target = ctypes.create_string_buffer(DATA_SIZE)
        namespace.update(memmove=ctypes.memmove, target=target, source=ctypes.addressof(source), n=DATA_SIZE)
        extras = {"read_i64": ("kelparine seek + read", "seek(off); read('i64')"),
                  "read_all_1MiB": ("memmove (no allocation)", "memmove(target, source, n)")}
        results = {}
        for key, what, ours, our_setup, theirs, cursor_bound in CASES:
            group = {"kelparine": (ours, our_setup, DATA_SIZE // 8 if cursor_bound else None),
                     "stdlib": (theirs, "pass", None),
                     "stdlib+lock": (f"with lock: {theirs}", "pass", None)}
            if key in extras:
                group[extras[key][0]] = (extras[key][1], "pass", None)
            results[key] = {"what": what, **ns_per_op_group(group, namespace, settings)}
        del source, namespace  # exported buffers would keep the segment from closing
        for key, row in results.items():
            log(f"view: {key}: kelparine {row['kelparine']:.0f} ns, stdlib {row['stdlib']:.0f} ns")
        return results
    finally:
        remove_segment(name)
        peer.close()
        peer.unlink()


def check_equivalence():
    """The stdlib peers produce what the kelparine calls produce (run once, before timing)."""
    name = segment_name("check")
    shm = kelparine.SharedMemory.create(name, 4 + 4096)
    try:
        view = shm.map()
        schema, items, layout = mixed_case(SCHEMA_TYPES)
        view.write_mixed(items, 0)
        raw = view.read_range(0, layout.size)
        assert raw == layout.pack(*items), "write_mixed and struct disagree on the layout"
        assert view.read_mixed(schema, 0) == list(layout.unpack(raw))
        view.seek(0)
        assert view.read("i64") == struct.unpack_from("<q", raw, 0)[0]
    finally:
        remove_segment(name)
