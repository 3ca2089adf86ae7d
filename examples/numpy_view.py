"""Passing NumPy arrays between processes through rings, without copying them.

The producer builds each array directly inside the ring, and the consumer computes on it in
place:

    with ring.reserve(nbytes) as buf:              # buf: nbytes writable bytes inside the ring
        np.frombuffer(buf, dtype)[:] = values       # or fill it in place; published at the exit

    with ring.borrow() as buf:                     # buf: the next message itself, read-only
        total = np.frombuffer(buf, dtype).sum()     # keep results, never views of buf

At the end of the block the memoryview `buf` is released and the ring reuses its bytes, so no
array made from `buf` may outlive the block: keep only results (numbers, new arrays), and
`del` any view you gave a name before the block ends. An array still alive at the exit makes
the exit raise BufferError, and then nothing is published or consumed.

Alignment. A message's bytes start 4 bytes after its frame's start (the length prefix), so in
general they are not 8-byte aligned. NumPy works on unaligned memory, but at about half the
speed, and a few calls (Generator methods with out=, for one) refuse it. This example keeps
every array aligned: the stream begins with one empty message (a 4-byte frame), and every
message is padded to 4 more than a multiple of 8 bytes, so every frame is a multiple of 8.

Each message is one array: a 64-byte header (i64 ndim, 8-byte dtype string, 6 i64 dims),
the array's bytes in C order, then the padding. This process sends matrices to a worker
process, which returns each matrix's column means through a second ring; this process checks
them against NumPy's own result. Needs NumPy (Debian: python3-numpy).

    PYTHONPATH=build /usr/bin/python3 examples/numpy_view.py [--rows N] [--cols N] [--matrices N]
"""

import argparse
import math
import multiprocessing as mp
import os
import struct
import sys

try:
    import numpy as np
except ImportError:
    np = None

import kelparine
from _cleanup import exit_on_sigterm, join_or_fail, stop_and_remove

TIMEOUT = 30.0  # seconds to wait for the other process before giving up
HEADER = struct.Struct("<q8s6q")  # ndim, dtype string ('<f8'), dims: 64 bytes, so the data stays aligned


def message_size(nbytes):
    """Header + data, padded to 4 more than a multiple of 8: the frame (4 + size) stays a
    multiple of 8, so the next message starts as aligned as this one."""
    size = HEADER.size + nbytes
    return size + (4 - size) % 8


def start_stream(ring):
    ring.put(b"", timeout=TIMEOUT)  # a 4-byte frame: from here on, every message's bytes are 8-aligned


def join_stream(ring):
    assert ring.get(timeout=TIMEOUT) == b"", "the stream does not start with its alignment message"


def send_array(ring, shape, dtype, fill):
    """Sends an array of `shape` and `dtype` whose values `fill(array)` writes in place."""
    dtype = np.dtype(dtype).newbyteorder("<")  # the ring's other users read little-endian
    if len(shape) > 6 or len(dtype.str) > 8:
        raise ValueError(f"shape {shape} or dtype {dtype.str} does not fit the header")
    nbytes = dtype.itemsize * math.prod(shape)
    with ring.reserve(message_size(nbytes), timeout=TIMEOUT) as buf:
        HEADER.pack_into(buf, 0, len(shape), dtype.str.encode(), *shape, *[0] * (6 - len(shape)))
        array = np.frombuffer(buf, dtype, count=math.prod(shape), offset=HEADER.size).reshape(shape)
        fill(array)
        del array  # the view into buf must be gone before the block ends


def receive_array(ring, compute):
    """Receives one array and returns compute(array): the array itself lives only during the call."""
    with ring.borrow(timeout=TIMEOUT) as buf:
        ndim, dtype, *dims = HEADER.unpack_from(buf)
        shape = tuple(dims[:ndim])
        # The view made here dies with the expression; only compute()'s result leaves the block.
        return compute(np.frombuffer(buf, dtype.rstrip(b"\0").decode(), count=math.prod(shape),
                                     offset=HEADER.size).reshape(shape))


def worker(matrices_name, means_name, count):
    matrices = kelparine.SpscRingBuffer.open(matrices_name)
    means = kelparine.SpscRingBuffer.open(means_name)
    join_stream(matrices)
    start_stream(means)
    for _ in range(count):
        column_means = receive_array(matrices, lambda matrix: matrix.mean(axis=0))
        send_array(means, column_means.shape, column_means.dtype, lambda out: np.copyto(out, column_means))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--cols", type=int, default=50)
    parser.add_argument("--matrices", type=int, default=20)
    args = parser.parse_args(argv)
    if np is None:
        print(f"numpy_view.py needs NumPy, which {sys.executable} cannot import. Debian's NumPy\n"
              "(apt-get install python3-numpy) is for Debian's interpreter: run\n"
              "PYTHONPATH=build /usr/bin/python3 examples/numpy_view.py", file=sys.stderr)
        return 2
    exit_on_sigterm()

    stem = f"/kelparine-numpy-{os.getpid()}"
    matrices_name, means_name = f"{stem}-matrices", f"{stem}-means"
    # Room for a few messages in flight; a capacity is a power of two.
    capacity = 1 << max(12, (4 * message_size(args.rows * args.cols * 8)).bit_length())
    means_capacity = 1 << max(12, (4 * message_size(args.cols * 8)).bit_length())
    child = None
    try:
        matrices = kelparine.SpscRingBuffer.create(matrices_name, capacity)
        means = kelparine.SpscRingBuffer.create(means_name, means_capacity)
        child = mp.get_context("spawn").Process(target=worker, args=(matrices_name, means_name, args.matrices),
                                                name="worker")
        child.start()
        start_stream(matrices)
        join_stream(means)
        rng = np.random.default_rng(7)
        expected_rng = np.random.default_rng(7)
        worst = 0.0
        for k in range(args.matrices):
            # Generated straight into the ring (needs an aligned array): no copy is ever made.
            send_array(matrices, (args.rows, args.cols), np.float64, lambda out: rng.standard_normal(out=out))
            expected = expected_rng.standard_normal((args.rows, args.cols)).mean(axis=0)
            got = receive_array(means, lambda column_means: column_means.copy())  # a copy outlives the loan
            assert got.shape == (args.cols,) and got.dtype == np.float64
            assert np.allclose(got, expected), f"matrix {k}: column means differ"
            worst = max(worst, float(np.abs(got).max()))
        join_or_fail([child], TIMEOUT)
        print(f"sent {args.matrices} matrices of {args.rows}x{args.cols} float64 "
              f"({args.rows * args.cols * 8} bytes each), each built in place in the ring; got back "
              f"their column means, all correct; max |mean| = {worst:.4f}")
    finally:
        stop_and_remove([child], [matrices_name, means_name])
    return 0


if __name__ == "__main__":
    sys.exit(main())
