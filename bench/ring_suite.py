"""Ring throughput: one producer process and one consumer process, for kelparine's
SpscRingBuffer and what a user would take instead (multiprocessing.Queue, multiprocessing.Pipe,
a pure-Python ring over multiprocessing.shared_memory) and the same protocol in plain C++
(the floor: what the hardware allows with no interpreter in the way).

Each run forks a fresh consumer and producer; the consumer times from its first message to
its last, so process start-up is not counted. Python sides use tight loops over locally bound
methods and pre-built payloads, and the rings busy-poll when full or empty (Queue and Pipe
block, which is how they are used). A pilot run per (peer, size) sizes the measured runs to
about settings.ring_seconds each; the runs of all peers are interleaved so that a burst of
load on this machine hits every peer alike, and the median over the runs is reported.
"""

import json
import multiprocessing
import subprocess
import time
from multiprocessing import shared_memory

import kelparine

import pyring
from common import MiB, BENCH_BUILD, ROOT, compile_cpp, median, remove_segment, segment_name, two_cpus, two_processes

SIZES = (64, 1024, 64 * 1024, MiB)
CAPACITY = 8 * MiB  # ring data area: 8 messages of 1 MiB in flight
PEERS = ("kelparine", "C++ floor", "pure-Python ring", "mp.Pipe", "mp.Queue")
RUN_TIMEOUT = 60.0

_ctx = multiprocessing.get_context("fork")


def payload_of(size):
    return bytes((i * 31 + 7) & 0xFF for i in range(size)) if size <= 4096 else bytes(range(256)) * (size // 256)


def _drain(get, n, size, empty=None):
    """Consumer loop: (seconds for messages 2..n, payload check). `get` returns `empty` when
    there is nothing yet (busy-poll) or blocks."""
    message = get()
    while message is empty:
        message = get()
    first = time.perf_counter()
    for _ in range(n - 1):
        message = get()
        while message is empty:
            message = get()
    last = time.perf_counter()
    return last - first, len(message) == size


class KelparineRing:
    def __init__(self, size):
        self.name = segment_name("ring")
        self.shm = kelparine.SharedMemory.create(self.name, 24 + CAPACITY)
        self.shm.spsc()  # the creator initialises the header

    def produce(self, n, payload):
        push = kelparine.SharedMemory.open(self.name).spsc().push
        for _ in range(n):
            while not push(payload):
                pass

    def consume(self, n, size):
        return _drain(kelparine.SharedMemory.open(self.name).spsc().pop, n, size)

    def close(self):
        remove_segment(self.name)


class PurePythonRing:
    def __init__(self, size):
        self.shm = shared_memory.SharedMemory(create=True, size=24 + CAPACITY)
        pyring.initialise(self.shm.buf)

    def produce(self, n, payload):
        push = pyring.make_push(self.shm.buf)
        for _ in range(n):
            while not push(payload):
                pass

    def consume(self, n, size):
        return _drain(pyring.make_pop(self.shm.buf), n, size)

    def close(self):
        self.shm.close()
        self.shm.unlink()


class PipePeer:
    def __init__(self, size):
        self.reader, self.writer = _ctx.Pipe(duplex=False)

    def produce(self, n, payload):
        send = self.writer.send_bytes
        for _ in range(n):
            send(payload)

    def consume(self, n, size):
        return _drain(self.reader.recv_bytes, n, size, empty=object())

    def close(self):
        self.reader.close()
        self.writer.close()


class QueuePeer:
    def __init__(self, size):
        # Bounded like the ring: no more bytes in flight than its data area holds.
        self.queue = _ctx.Queue(maxsize=max(2, CAPACITY // (size + 4)))

    def produce(self, n, payload):
        put = self.queue.put
        for _ in range(n):
            put(payload)

    def consume(self, n, size):
        return _drain(self.queue.get, n, size, empty=object())

    def close(self):
        self.queue.close()
        self.queue.join_thread()


PYTHON_PEERS = {
    "kelparine": KelparineRing,
    "pure-Python ring": PurePythonRing,
    "mp.Pipe": PipePeer,
    "mp.Queue": QueuePeer,
}


def run_python(peer_name, size, n, cpus):
    """Messages per second for one run of a Python peer."""
    peer = PYTHON_PEERS[peer_name](size)
    label = f"{peer_name} {size} B"
    try:
        seconds, ok = two_processes(lambda: peer.produce(n, payload_of(size)), lambda: peer.consume(n, size),
                                    cpus=cpus, timeout=RUN_TIMEOUT, label=label)
    finally:
        peer.close()
    if not ok:
        raise RuntimeError(f"{label}: the consumer received a wrong payload")
    return (n - 1) / seconds


def floor_binary():
    return compile_cpp(ROOT / "bench" / "cpp" / "ring_floor.cpp", BENCH_BUILD / "ring_floor")


def run_floor(size, n, cpus):
    producer_cpu, consumer_cpu = cpus or (-1, -1)
    done = subprocess.run([str(floor_binary()), str(size), str(n), str(CAPACITY), str(producer_cpu),
                           str(consumer_cpu)], capture_output=True, text=True, timeout=RUN_TIMEOUT)
    if done.returncode != 0:
        raise RuntimeError(f"ring_floor {size} B failed: {done.stderr.strip()}")
    result = json.loads(done.stdout)
    return (result["messages"] - 1) / result["seconds"]


def run_once(peer_name, size, n, cpus):
    if peer_name == "C++ floor":
        return run_floor(size, n, cpus)
    return run_python(peer_name, size, n, cpus)


def run(settings, log):
    """{peer: {size: {"msg_per_s", "mb_per_s", "runs", "messages"}}}."""
    cpus = two_cpus() if settings.pin else None
    floor_binary()
    plan = {}
    for size in SIZES:
        pilot = max(16, min(20000, 32 * MiB // size))
        for peer in PEERS:
            rate = run_once(peer, size, pilot, cpus)
            plan[peer, size] = int(min(50_000_000, max(16, rate * settings.ring_seconds)))
    log(f"ring: pilots done, {settings.repeats} interleaved runs of {len(plan)} (peer, size) pairs")
    rates = {key: [] for key in plan}
    for _ in range(settings.repeats):
        for (peer, size), n in plan.items():
            rates[peer, size].append(run_once(peer, size, n, cpus))
    results = {}
    for (peer, size), runs in rates.items():
        msg = median(runs)
        results.setdefault(peer, {})[size] = {
            "msg_per_s": msg,
            "mb_per_s": msg * size / 1e6,
            "runs": runs,
            "messages": plan[peer, size],
        }
    return {"capacity": CAPACITY, "pinned_cpus": list(cpus) if cpus else None, "peers": results}
