"""Helpers shared by the stress programs: segment names, clean-up, process accounting."""

import os
import resource
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
