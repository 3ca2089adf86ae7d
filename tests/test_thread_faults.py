"""Faults that need several threads or an object's lifecycle to show: what one thread's call
does to the interpreter while another thread runs."""

import gc
import mmap
import os
import struct
import threading
import time

import pytest

from conftest import shm_path


@pytest.fixture
def collector():
    """The collector on, as a program starts; its setting and thresholds restored afterwards."""
    enabled, thresholds = gc.isenabled(), gc.get_threshold()
    gc.enable()
    yield
    gc.set_threshold(*thresholds)
    (gc.enable if enabled else gc.disable)()


def maps_held_elsewhere(make_segment, count):
    """`count` views of a fresh 4 KiB segment whose lock word a foreign process then holds
    exclusively, and that word through a plain mapping of the segment's file (write 0 to let
    go). The word is taken after the maps: a creator's map() resets it."""
    name, segment = make_segment(4 + 4096)
    views = [segment.map() for _ in range(count)]
    fd = os.open(shm_path(name), os.O_RDWR)
    word = mmap.mmap(fd, 4)
    os.close(fd)
    struct.pack_into("<i", word, 0, -1)
    return views, word


def watch_collector(stop):
    """Samples gc.isenabled() in a thread until `stop` is set: (thread, samples)."""
    samples = []

    def watch():
        while not stop.is_set():
            samples.append(gc.isenabled())
            time.sleep(0.001)

    thread = threading.Thread(target=watch)
    thread.start()
    return thread, samples


def test_read_mixed_wait_leaves_the_collector_setting_alone(make_segment, collector):
    (view,), word = maps_held_elsewhere(make_segment, 1)
    reader = threading.Thread(target=view.read_mixed, args=([("i64", 1)], 0))
    reader.start()
    stop = threading.Event()
    watcher, samples = watch_collector(stop)
    try:
        time.sleep(0.3)  # the reader waits for the word meanwhile
        stop.set()
        watcher.join()
        gc.disable()  # the program's choice, made while the reader still waits
    finally:
        word[:4] = bytes(4)
    reader.join(30)
    assert all(samples) and not reader.is_alive() and not gc.isenabled()


def test_pop_many_long_copies_leave_the_collector_setting_alone(make_segment, collector):
    ring = make_segment(24 + (8 << 20))[1].spsc()
    stop = threading.Event()
    watcher, samples = watch_collector(stop)
    message = b"x" * (600 << 10)  # copied out with the interpreter lock given up
    for _ in range(20):
        ring.push_many([message] * 12)
        assert len(ring.pop_many(12)) == 12
    stop.set()
    watcher.join()
    assert all(samples)


def test_overlapping_read_mixed_calls_never_collect_under_a_hold(make_segment, collector):
    # A and B both wait for their lock words; A ends first. B's decoding must still be free of
    # collections: a finalizer run there, writing to B's segment, would wait for B's own hold.
    (view_a,), word_a = maps_held_elsewhere(make_segment, 1)
    (view_b, writer), word_b = maps_held_elsewhere(make_segment, 2)
    writer.set_lock_timeout(5.0)  # bounds the deadlock, were there one
    failures, armed = [], [True]

    class Cycle:
        def __del__(self):
            if not armed[0]:
                return
            if threading.current_thread() is not thread_b:  # collected elsewhere: garbage for B
                again = Cycle()
                again.self = again
                return
            try:
                writer.write(b"!", 0)
            except Exception as error:
                failures.append(error)

    thread_a = threading.Thread(target=view_a.read_mixed, args=([("u8", 8)], 0))
    thread_b = threading.Thread(target=view_b.read_mixed, args=([("u8", 16)] * 200, 0))
    try:
        thread_a.start()
        time.sleep(0.1)
        thread_b.start()
        time.sleep(0.1)
        word_a[:4] = bytes(4)
        thread_a.join(30)
        assert gc.isenabled()  # as the program set it, with B still waiting
        gc.set_threshold(1)  # a collection at the next container allocation
        cycle = Cycle()
        cycle.self = cycle
        del cycle
        word_b[:4] = bytes(4)
        thread_b.join(30)
        assert not thread_b.is_alive() and failures == []
    finally:
        armed[0] = False
        word_a[:4] = word_b[:4] = bytes(4)
