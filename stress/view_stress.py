"""View stress: two writer processes rewrite the whole data area with one repeated byte while
two reader processes read it in every way the view offers and check that no read is torn
(every byte of a read equal). Afterwards the lock word must be back at 0.

    python3 stress/view_stress.py --seconds 30
"""

import argparse
import multiprocessing as mp
import random
import struct
import time

import kelparine

from common import fail, read_header, remove_quietly, segment_name

DATA_SIZE = 64 * 1024


def writer(name, index, seconds, result):
    view = kelparine.SharedMemory.open(name).map()
    size = view.size()
    # Writer 0 writes odd bytes, writer 1 even ones (zero() writes 0): readers see both.
    patterns = [bytes([b]) * size for b in range(256)]
    rng = random.Random(index)
    writes = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for _ in range(64):
            byte = rng.randrange(1 - index, 256, 2) or 2
            how = rng.randrange(16)
            if how == 0:
                view.zero()
            elif how == 1:
                view.write_mixed([patterns[byte]], 0)
            elif how == 2:
                view.seek()
                view.write(bytearray(patterns[byte]))  # cursor mode
            else:
                view.write(patterns[byte], 0)
            writes += 1
    result.send(("writer", index, writes))


def reader(name, index, seconds, result):
    view = kelparine.SharedMemory.open(name).map()
    size = view.size()
    rng = random.Random(100 + index)
    reads = torn = changes = 0
    last = None
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        for _ in range(64):
            how = rng.randrange(8)
            if how == 0:
                offset = rng.randrange(size - 8)
                view.seek(offset)
                value = view.read("u64")
                data = struct.pack("<Q", value)
            elif how == 1:
                offset = rng.randrange(size - 1)
                count = rng.randrange(2, size - offset + 1)
                data = bytes(view.read_mixed([("u8", count)], offset)[0])
            elif how < 4:
                offset = rng.randrange(size)
                data = view.read_range(offset, rng.randrange(1, size - offset + 1))
            else:
                data = view.read_all()
            reads += 1
            if data.count(data[:1]) != len(data):
                torn += 1
            if data[0] != last:
                changes += 1
                last = data[0]
    result.send(("reader", index, reads, torn, changes))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=5.0)
    args = parser.parse_args()
    name = segment_name("view")
    context = mp.get_context("fork")
    try:
        shm = kelparine.SharedMemory.create(name, 4 + DATA_SIZE)
        view = shm.map()
        processes, pipes = [], []
        for role, index in ((writer, 0), (writer, 1), (reader, 0), (reader, 1)):
            receive, send = context.Pipe(duplex=False)
            processes.append(context.Process(target=role, args=(name, index, args.seconds, send)))
            pipes.append(receive)
        for process in processes:
            process.start()
        reports = []
        for process, receive in zip(processes, pipes):
            if receive.poll(args.seconds + 60):
                reports.append(receive.recv())
            process.join(10)
            if process.is_alive():
                process.kill()
                process.join()
        if len(reports) != 4:
            fail(f"view: {4 - len(reports)} processes ended without a report")
        writes = sum(r[2] for r in reports if r[0] == "writer")
        reads = sum(r[2] for r in reports if r[0] == "reader")
        torn = sum(r[3] for r in reports if r[0] == "reader")
        changes = sum(r[4] for r in reports if r[0] == "reader")
        (word,) = struct.unpack("<i", read_header(name, 4))
        print(f"view: 2 writers, 2 readers, {args.seconds:.0f} s on a {DATA_SIZE // 1024} KiB data area: "
              f"{writes} whole-area writes, {reads} reads ({changes} saw a new byte), {torn} torn; "
              f"lock word afterwards {word}")
        if torn or word != 0 or view.reader_count() != 0 or view.is_write_locked():
            fail(f"view: {torn} torn reads, lock word {word}")
        if writes == 0 or reads == 0 or changes < 2:
            fail("view: the writers and readers did not interleave")
    finally:
        remove_quietly(name)


if __name__ == "__main__":
    main()
