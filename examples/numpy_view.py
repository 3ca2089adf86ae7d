"""Passing NumPy arrays between processes through a MappedView.

An array travels as a small header followed by its raw bytes:

    data offset 0    i64 ndim, str dtype (such as '<f8'), then ndim i64 dimensions
    data offset 64   the array's bytes in C order (arr.tobytes())

The writer stores the header with write_mixed() and the bytes with write(); the reader gets
the header with read_mixed() and rebuilds the array with np.frombuffer(read_range(...)). Each
call copies under the segment's lock, so a reader never sees half of an array being written.

Here a worker process receives a matrix, computes its column means and sends them back through
a second region of the same segment; this process checks them against NumPy's own result.
Needs NumPy (Debian: python3-numpy).

    PYTHONPATH=build /usr/bin/python3 examples/numpy_view.py [--rows N] [--cols N]
"""

import argparse
import multiprocessing as mp
import os
import sys

try:
    import numpy as np
except ImportError:
    np = None

import kelparine

HEADER_SIZE = 64


def put_array(view, offset, arr):
    """Writes `arr` (header, then bytes) at data offset `offset`; returns the end offset."""
    arr = np.asarray(arr)
    dtype = arr.dtype.newbyteorder("<") if arr.dtype.byteorder == ">" else arr.dtype
    arr = arr.astype(dtype, copy=False)  # the segment's numbers are little-endian
    header = [arr.ndim, dtype.str, list(arr.shape)]
    if 8 + 4 + len(dtype.str) + 8 * arr.ndim > HEADER_SIZE:
        raise ValueError(f"a {arr.ndim}-dimensional array's header does not fit {HEADER_SIZE} bytes")
    view.write_mixed(header, offset)  # the inner list is flattened: ndim i64s
    if arr.nbytes:
        view.write(arr.tobytes(), offset + HEADER_SIZE)
    return offset + HEADER_SIZE + arr.nbytes


def get_array(view, offset):
    """Reads the array stored at data offset `offset` (a read-only array over a copy)."""
    (ndim,) = view.read_mixed([("i64", 1)], offset)
    _, dtype, shape = view.read_mixed([("i64", 1), ("str", 1), ("i64", ndim)], offset)
    shape = [shape] if ndim == 1 else shape  # a count of 1 gives a bare value
    dtype = np.dtype(dtype)
    nbytes = dtype.itemsize * int(np.prod(shape, dtype=np.int64))
    if nbytes == 0:
        return np.empty(shape, dtype)
    return np.frombuffer(view.read_range(offset + HEADER_SIZE, nbytes), dtype=dtype).reshape(shape)


def worker(name, results_offset):
    view = kelparine.SharedMemory.open(name).map()
    matrix = get_array(view, 0)
    put_array(view, results_offset, matrix.mean(axis=0))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1000)
    parser.add_argument("--cols", type=int, default=50)
    args = parser.parse_args(argv)
    if np is None:
        print(f"numpy_view.py needs NumPy, which {sys.executable} cannot import. Debian's NumPy\n"
              "(apt-get install python3-numpy) is for Debian's interpreter: run\n"
              "PYTHONPATH=build /usr/bin/python3 examples/numpy_view.py", file=sys.stderr)
        return 2

    rng = np.random.default_rng(7)
    matrix = rng.normal(size=(args.rows, args.cols))
    results_offset = HEADER_SIZE + matrix.nbytes
    size = results_offset + HEADER_SIZE + args.cols * 8

    name = f"/kelparine-numpy-{os.getpid()}"
    view = kelparine.SharedMemory.create(name, 4 + size).map()
    try:
        put_array(view, 0, matrix)
        # The round trip in this process first: same values, dtype and shape.
        assert np.array_equal(get_array(view, 0), matrix)

        child = mp.get_context("spawn").Process(target=worker, args=(name, results_offset))
        child.start()
        child.join(timeout=60)
        if child.exitcode != 0:
            raise SystemExit(f"worker failed with exit code {child.exitcode}")
        means = get_array(view, results_offset)
        assert means.shape == (args.cols,) and means.dtype == np.float64
        assert np.allclose(means, matrix.mean(axis=0))
        print(f"sent a {matrix.shape} {matrix.dtype} matrix ({matrix.nbytes} bytes), "
              f"got back {means.shape[0]} column means; max |mean| = {np.abs(means).max():.4f}")
    finally:
        kelparine.SharedMemory.remove(name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
