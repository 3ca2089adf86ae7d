"""Helpers shared by the stress programs: segment names, clean-up, process accounting."""

import multiprocessing as mp
import os
import random
import resource
import struct
import time

import kelparine


def segment_name(stem):
    return f"/kelparine-stress-{os.getpid()}-{stem}-{time.monotonic_ns() % 1_000_000_000}"


def remove_quietly(name):
    try:
        kelparine.SharedMemory.remove(name)
    except OSError:
        pass


def read_header(name, size):
    """The first `size` bytes of a segment, read through the file system, not the module."""
    with open("/dev/shm" + name, "rb") as segment:
        return segment.read(size)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def mappings():
    with open("/proc/self/maps") as maps:
        return sum(1 for _ in maps)


def rss_kib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def fail(message):
    raise SystemExit(f"FAILED: {message}")


def check_run(what, name, ring, capacity, messages, reports, received, payload_bytes):
    """The end of a producer/consumer run: both sides reported "ok" (a report is (side, status,
    ...)), every message arrived, and the segment's counters account for every frame: nothing
    left, nothing extra."""
    for side in ("producer", "consumer"):
        if reports[side][1] != "ok":
            fail(f"{what}: {side}: {reports[side][1]}")
    if received != messages:
        fail(f"{what}: received {received} of {messages}")
    head, tail, stored = struct.unpack("<QQQ", read_header(name, 24))
    frame_bytes = payload_bytes + 4 * messages
    if (head, tail, stored) != (frame_bytes, frame_bytes, capacity) or ring.used() != 0:
        fail(f"{what}: header head={head} tail={tail} capacity={stored}, expected {frame_bytes} {frame_bytes} {capacity}")


def run_pair(consume, produce, args, bound):
    """Runs `consume(*args, send)` and `produce(*args, send)` in forked processes; each sends one
    report (side, status, ...). Returns the reports that came within `bound` seconds, by side,
    and the seconds they took. A process still running at the end is killed."""
    context = mp.get_context("fork")
    processes, pipes = [], []
    for role in (consume, produce):
        receive, send = context.Pipe(duplex=False)
        processes.append(context.Process(target=role, args=(*args, send)))
        pipes.append(receive)
    started = time.monotonic()
    try:
        for process in processes:
            process.start()
        reports = {}
        for receive in pipes:
            if receive.poll(max(0.0, started + bound - time.monotonic())):
                report = receive.recv()
                reports[report[0]] = report
        return reports, time.monotonic() - started
    finally:
        for process in processes:
            if process.pid is None:
                continue
            process.join(10)
            if process.is_alive():
                process.kill()
                process.join()


def parse_run_arguments(parser):
    """Adds the options every ring stress shares and parses the command line. Returns the
    arguments, the seed (a random one when not given), the capacities and
    the messages per ring."""
    parser.add_argument("--messages", type=int, default=300_000, help="total over all capacities")
    parser.add_argument("--capacities", default="64,4096,1048576")
    parser.add_argument("--seed", type=int, default=None)
    args = parser.parse_args()
    seed = args.seed if args.seed is not None else random.randrange(1 << 32)
    capacities = [int(c) for c in args.capacities.split(",")]
    return args, seed, capacities, args.messages // len(capacities)
