"""Faults with real processes: holders and ring peers killed with SIGKILL, foreign and corrupt
segments, and segments the system cannot back with memory."""

import json
import mmap
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import threading
import time

import pytest

import kelparine
from conftest import shm_path, take_reusable_heap, unique_name

SM = kelparine.SharedMemory
CHILD_TIMEOUT = 10

# ---------------------------------------------------------------------------------------------
# A lock hold left behind by a process killed while holding it


def _hold_forever(name, mode):
    """Child: keeps the view's lock held as much as possible, copying 64 MiB per hold."""
    view = SM.open(name).map()
    if mode == "exclusive":
        data = b"\xab" * view.size()
        while True:
            view.write(data, 0)
    else:
        while True:
            view.read_all()


def _wait_for_hold(name, operation, conn):
    """Child: reports that it starts, then waits for the lock in `operation`."""
    signal.signal(signal.SIGINT, signal.default_int_handler)
    view = SM.open(name).map()
    conn.send("waiting")
    try:
        if operation == "write":
            view.write(b"\x07", 0)
        elif operation == "zero":
            view.zero()
        else:
            view.read_range(0, 1)
    except KeyboardInterrupt:
        conn.send("interrupted")
        return
    conn.send("done")


def _word(name):
    with open(shm_path(name), "rb") as segment:
        return struct.unpack("<i", segment.read(4))[0]


def _kill_while_holding(mp_context, name, view, mode):
    """Starts a holder and kills it with SIGKILL while its hold is in force. The holder copies
    64 MiB per hold, so the kill lands inside one almost always; otherwise it tries again."""
    held = (lambda: view.is_write_locked()) if mode == "exclusive" else (lambda: view.reader_count() > 0)
    for _ in range(5):
        holder = mp_context.Process(target=_hold_forever, args=(name, mode))
        holder.start()
        deadline = time.monotonic() + CHILD_TIMEOUT
        while not held() and time.monotonic() < deadline:
            pass
        os.kill(holder.pid, signal.SIGKILL)
        holder.join(CHILD_TIMEOUT)
        assert holder.exitcode == -signal.SIGKILL
        if held():
            return
        # It released just before the kill: the word is free again; try once more.
    pytest.fail("could not kill a holder inside its hold")


def _start_waiter(mp_context, name, operation):
    receive, send = mp_context.Pipe(duplex=False)
    waiter = mp_context.Process(target=_wait_for_hold, args=(name, operation, send))
    waiter.start()
    assert receive.poll(CHILD_TIMEOUT) and receive.recv() == "waiting"
    return waiter, receive


def _still_waiting(waiter, receive, seconds=0.3):
    return not receive.poll(seconds) and waiter.is_alive()


@pytest.fixture
def big_view(make_segment):
    name, shm = make_segment(4 + 64 * 1024 * 1024)
    return name, shm, shm.map()


@pytest.mark.parametrize("mode, expected_word, waiting_operations, free_operations", [
    ("exclusive", -1, ["write", "read"], []),
    ("shared", 1, ["write", "zero"], ["read"]),
])
def test_hold_of_killed_process_keeps_waiters_waiting_interruptibly_until_creator_maps(
        mp_context, big_view, mode, expected_word, waiting_operations, free_operations):
    name, shm, view = big_view
    _kill_while_holding(mp_context, name, view, mode)
    assert _word(name) == expected_word

    # Operations the dead hold allows still work, and leave the word as they found it.
    for operation in free_operations:
        waiter, receive = _start_waiter(mp_context, name, operation)
        assert receive.poll(CHILD_TIMEOUT) and receive.recv() == "done"
        waiter.join(CHILD_TIMEOUT)
        assert _word(name) == expected_word

    # The others wait, and Ctrl-C (SIGINT) gets them out without touching the word.
    for operation in waiting_operations:
        waiter, receive = _start_waiter(mp_context, name, operation)
        assert _still_waiting(waiter, receive)
        os.kill(waiter.pid, signal.SIGINT)
        assert receive.poll(CHILD_TIMEOUT) and receive.recv() == "interrupted"
        waiter.join(CHILD_TIMEOUT)
        assert waiter.exitcode == 0
        assert _word(name) == expected_word

    # A waiter in progress when the creator maps again gets the lock: work resumes.
    waiter, receive = _start_waiter(mp_context, name, waiting_operations[0])
    assert _still_waiting(waiter, receive)
    fresh = shm.map()
    assert receive.poll(CHILD_TIMEOUT) and receive.recv() == "done"
    waiter.join(CHILD_TIMEOUT)
    assert _word(name) == 0
    assert fresh.read_range(0, 1) == b"\x07"
    assert (view.reader_count(), view.is_write_locked()) == (0, False)


def test_mapping_by_an_opener_does_not_clear_a_dead_hold(mp_context, big_view):
    name, shm, view = big_view
    _kill_while_holding(mp_context, name, view, "exclusive")
    SM.open(name).map()
    assert _word(name) == -1
    shm.map()
    assert _word(name) == 0


# ---------------------------------------------------------------------------------------------
# Stale holds recovered on request: only when no other process is present, none maps the
# segment as far as /proc shows, and no other thread of this process is in a call on it

ALONE = "; no other process is present on the segment, "
STALE_NOTE = ALONE + "so the hold is likely stale: set_lock_timeout(..., recover_stale=True) recovers it"
LIVE_NOTE = "; other processes are present on the segment, so the hold may be live"


def _timed_out(call):
    with pytest.raises(TimeoutError) as info:
        call()
    message = str(info.value)
    assert message.startswith("timed out after ") and "--clear-stale-lock" in message
    return message


@pytest.mark.parametrize("mode, waiting_call", [
    ("exclusive", lambda view: view.read_range(0, 1)),
    ("shared", lambda view: view.write(b"\x07", 0)),
])
def test_hold_of_killed_process_is_cleared_only_with_recover_stale(mp_context, big_view, mode, waiting_call):
    name, _, view = big_view
    _kill_while_holding(mp_context, name, view, mode)
    held = _word(name)
    view.set_lock_timeout(0.2)
    assert _timed_out(lambda: waiting_call(view)).endswith(STALE_NOTE)
    assert _word(name) == held

    view.set_lock_timeout(CHILD_TIMEOUT, recover_stale=True)  # the bound is never reached
    waiting_call(view)
    assert _word(name) == 0
    view.set_lock_timeout(None)
    assert view.read_range(0, 1) is not None and _word(name) == 0


def _stay_present(name, conn):
    """Child: keeps a handle of the segment open, so that it is present, until told to stop."""
    shm = SM.open(name)
    conn.send("present")
    conn.recv()
    shm.close()


def test_dead_hold_is_kept_while_another_process_is_present(mp_context, big_view):
    name, _, view = big_view
    _kill_while_holding(mp_context, name, view, "exclusive")
    here, there = mp_context.Pipe()
    present = mp_context.Process(target=_stay_present, args=(name, there))
    present.start()
    try:
        assert here.poll(CHILD_TIMEOUT) and here.recv() == "present"
        view.set_lock_timeout(0.5, recover_stale=True)
        assert _timed_out(lambda: view.read_range(0, 1)).endswith(LIVE_NOTE)
        assert _word(name) == -1
    finally:
        here.send("stop")
        present.join(CHILD_TIMEOUT)
    view.set_lock_timeout(CHILD_TIMEOUT, recover_stale=True)
    view.read_range(0, 1)
    assert _word(name) == 0


# A program that follows the layout without this module: it takes the exclusive hold through a
# plain mapping of the segment's file, holds no presence, and keeps it until killed.
_FOREIGN_HOLDER = """
import mmap, struct, sys
with open(sys.argv[1], "r+b") as segment:
    memory = mmap.mmap(segment.fileno(), 4096)
memory[0:4] = struct.pack("<i", -1)
print("held", flush=True)
sys.stdin.read()
"""


def test_hold_of_a_live_program_without_presence_is_kept_while_proc_shows_its_mapping(make_segment):
    name, shm = make_segment(4 + 4096)
    view = shm.map()
    holder = subprocess.Popen([sys.executable, "-c", _FOREIGN_HOLDER, shm_path(name)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        assert view.others_present() is False
        view.set_lock_timeout(0.5, recover_stale=True)
        message = _timed_out(lambda: view.read_range(0, 1))
        assert message.endswith(f"{ALONE}but process {holder.pid} maps it, so the hold may be live")
        assert _word(name) == -1
    finally:
        holder.kill()
        holder.wait(CHILD_TIMEOUT)
    view.set_lock_timeout(CHILD_TIMEOUT, recover_stale=True)
    view.read_range(0, 1)
    assert _word(name) == 0


def test_hold_of_another_thread_is_never_cleared(big_view):
    # One thread writes the whole 64 MiB data area over and over, each copy under the exclusive
    # hold with the interpreter lock given up; this one reads it all with recover_stale and a
    # bound short enough that its waits decide, and time out, while the writer holds the word.
    # A hold wrongly cleared shows as a read of two different writes, or a corrupt word.
    name, shm, view = big_view
    writer = shm.map()
    writer.set_lock_timeout(CHILD_TIMEOUT)
    patterns = [bytes([fill]) * view.size() for fill in (1, 2)]
    stop, failures = threading.Event(), []

    def write_over_and_over():
        try:
            for count in range(1_000_000):
                if stop.is_set():
                    return
                writer.write(patterns[count % 2], 0)
        except Exception as error:  # noqa: BLE001 - reported below
            failures.append(error)

    view.set_lock_timeout(0.05, recover_stale=True)
    thread = threading.Thread(target=write_over_and_over, daemon=True)
    thread.start()
    notes = set()
    try:
        for _ in range(40):
            try:
                data = view.read_all()
            except TimeoutError as error:
                notes.add(str(error).rpartition(ALONE)[2])
            else:
                assert data[0] == data[len(data) // 2] == data[-1]
    finally:
        stop.set()
        thread.join(CHILD_TIMEOUT)
    assert not failures
    assert notes <= {"but another thread of this process is in a call on it, so the hold may be live",
                     "so the hold is likely stale: a longer timeout gives recover_stale time to clear it"}
    assert _word(name) == 0


# ---------------------------------------------------------------------------------------------
# Ring peers killed mid-stream

SEQ = struct.Struct("<Q")


def _message(seq):
    return SEQ.pack(seq) + bytes([seq & 0xFF]) * (seq % 53)


def _check_message(payload):
    seq = SEQ.unpack_from(payload)[0]
    assert payload == _message(seq), f"message {seq} corrupted"
    return seq


def _produce(name, start, count, progress):
    """Child: pushes messages start, start + 1, ...; `progress` counts those written."""
    ring = SM.open(name).spsc()
    seq = start
    while count is None or seq < start + count:
        if ring.push(_message(seq)):
            seq += 1
            progress.value = seq - start


def _consume(name, until, progress, conn):
    """Child: pops messages in order; `progress` is the next number it expects. With `until`,
    it stops after that message and reports what it saw."""
    ring = SM.open(name).spsc()
    first = None
    while True:
        payload = ring.pop()
        if payload is None:
            continue
        seq = _check_message(payload)
        if first is None:
            first = seq
        elif seq != progress.value:
            conn.send(("out of order", progress.value, seq))
            return
        progress.value = seq + 1
        if until is not None and seq == until:
            conn.send(("ok", first, seq))
            return


@pytest.fixture
def small_ring(make_segment):
    name, shm = make_segment(24 + 1024)
    return name, shm.spsc()


def test_replacement_producer_continues_after_producer_killed_mid_stream(mp_context, small_ring):
    name, ring = small_ring
    progress = mp_context.RawValue("q", 0)
    producer = mp_context.Process(target=_produce, args=(name, 0, None, progress))
    producer.start()
    received = []
    deadline = time.monotonic() + CHILD_TIMEOUT
    # Consume while it produces, and kill it at some point in the middle of the stream.
    while len(received) < 1500 and time.monotonic() < deadline:
        payload = ring.pop()
        if payload is not None:
            received.append(_check_message(payload))
    os.kill(producer.pid, signal.SIGKILL)
    producer.join(CHILD_TIMEOUT)
    written = progress.value
    while (payload := ring.pop()) is not None:
        received.append(_check_message(payload))
    # Every published message arrived once, in order; at most the one being counted was
    # published without being counted.
    assert received == list(range(len(received)))
    assert len(received) in (written, written + 1)

    progress.value = 0
    replacement = mp_context.Process(target=_produce, args=(name, 1 << 40, 1000, progress))
    replacement.start()
    after = []
    deadline = time.monotonic() + CHILD_TIMEOUT
    while len(after) < 1000 and time.monotonic() < deadline:
        payload = ring.pop()
        if payload is not None:
            after.append(_check_message(payload))
    replacement.join(CHILD_TIMEOUT)
    assert after == list(range(1 << 40, (1 << 40) + 1000))
    assert ring.pop() is None and ring.used() == 0


def test_replacement_consumer_continues_after_consumer_killed_mid_stream(mp_context, small_ring):
    name, ring = small_ring
    progress = mp_context.RawValue("q", 0)
    receive, send = mp_context.Pipe(duplex=False)
    consumer = mp_context.Process(target=_consume, args=(name, None, progress, send))
    consumer.start()
    pushed = 0
    deadline = time.monotonic() + CHILD_TIMEOUT
    while progress.value < 1500 and time.monotonic() < deadline:
        if ring.push(_message(pushed)):
            pushed += 1
    os.kill(consumer.pid, signal.SIGKILL)
    consumer.join(CHILD_TIMEOUT)
    assert not receive.poll(0), receive.recv()
    expected_next = progress.value
    # Push more while nobody consumes, up to a full ring.
    while ring.push(_message(pushed)):
        pushed += 1

    progress.value = 0
    replacement = mp_context.Process(target=_consume, args=(name, pushed - 1, progress, send))
    replacement.start()
    assert receive.poll(CHILD_TIMEOUT)
    status, first, last = receive.recv()
    replacement.join(CHILD_TIMEOUT)
    # It carries on where the killed consumer stopped: the message that consumer was taking
    # when it died may be gone with it, but nothing is repeated and nothing else is missing.
    assert status == "ok" and last == pushed - 1
    assert first in (expected_next, expected_next + 1)
    assert ring.used() == 0


# ---------------------------------------------------------------------------------------------
# Foreign and corrupt ring headers: each operation works or raises ValueError, nothing else


ALLOWED_MESSAGES = ("corrupt ring header", "corrupt frame", "message too large", "not enough data",
                    "out of bounds")


def _header(name):
    with open(shm_path(name), "rb") as segment:
        return struct.unpack("<QQQ", segment.read(24))


def _poke(name, offset, data):
    with open(shm_path(name), "r+b") as segment, mmap.mmap(segment.fileno(), 0) as memory:
        memory[offset:offset + len(data)] = data


def _exercise_ring(name):
    """Calls every member of an opener's ring over whatever the segment holds; returns the
    outcomes, raising if any member fails other than with an allowed ValueError."""
    ring = SM.open(name).spsc()
    calls = [
        lambda: ring.capacity(), lambda: ring.used(), lambda: ring.free(), lambda: ring.is_empty(),
        lambda: ring.is_full(), lambda: repr(ring), lambda: ring.pop(), lambda: ring.pop("str"),
        lambda: ring.pop_mixed([("u8", 3), ("str", 1)]), lambda: ring.push(b"abc"),
        lambda: ring.push([1, "two"]), lambda: ring.push(b""), lambda: ring.pop("int"),
    ]
    outcomes = []
    for call in calls:
        try:
            call()
            outcomes.append("ok")
        except ValueError as error:
            assert str(error).startswith(ALLOWED_MESSAGES), str(error)
            outcomes.append(str(error).split(":")[0])
    return outcomes


def _random_headers(seed, cases, data_size):
    rng = random.Random(seed)
    interesting = [0, 1, 2, 3, 4, 7, 8, data_size // 2, data_size - 1, data_size, data_size + 1,
                   1 << 20, 1 << 40, (1 << 63), (1 << 64) - 1, (1 << 64) - 8]
    for _ in range(cases):
        pick = lambda: rng.choice(interesting) if rng.random() < 0.7 else rng.randrange(1 << 64)  # noqa: E731
        head = pick()
        tail = (head + rng.choice([0, 4, 8, 12, 60, 64, 65, rng.randrange(1 << 64)])) % (1 << 64)
        capacity = rng.choice([0, 1, 2, 16, 32, 64, 128, 4096, 48, 63, 65, pick()])
        yield struct.pack("<QQQ", head, tail, capacity), rng.randbytes(data_size)


def _corrupt_header_child(name, data_size, seed, cases, conn):
    tally = {}
    for header, data in _random_headers(seed, cases, data_size):
        _poke(name, 0, header + data)
        for outcome in _exercise_ring(name):
            tally[outcome] = tally.get(outcome, 0) + 1
    conn.send(tally)


def test_random_ring_headers_and_data_never_crash_or_escape_the_mapping(make_segment):
    # A foreign process (the child itself, through the file system) writes random headers and
    # data. A position far outside the mapping would fault the child; the ring_pop fuzz target
    # runs the same code under AddressSanitizer, where any byte outside the segment is reported.
    import multiprocessing

    name, _ = make_segment(24 + 64)
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=_corrupt_header_child, args=(name, 64, 1234, 300, send))
    child.start()
    child.join(30)
    assert child.exitcode == 0, "the child crashed or failed a check"
    tally = receive.recv()
    # The cases reach both the refusals and ordinary work.
    assert tally.get("ok", 0) > 0 and tally.get("corrupt ring header", 0) > 0
    assert tally.get("corrupt frame", 0) > 0


def test_length_prefix_past_tail_is_refused_without_consuming(make_segment):
    name, shm = make_segment(24 + 64)
    ring = shm.spsc()
    assert ring.push(b"abcd")
    _poke(name, 24, struct.pack("<I", 100))  # the frame now claims 100 bytes; 8 are published
    with pytest.raises(ValueError, match=r"^corrupt frame"):
        ring.pop()
    with pytest.raises(ValueError, match=r"^corrupt frame"):
        ring.pop_mixed([("u8", 1)])
    assert ring.used() == 8 and _header(name)[:2] == (0, 8)  # nothing consumed
    _poke(name, 24, struct.pack("<I", 4))
    assert ring.pop() == b"abcd"


@pytest.mark.parametrize("capacity", [128, 1 << 20, 1 << 63, 48, 3])
def test_capacity_outside_the_mapping_or_not_a_power_of_two_is_refused(make_segment, capacity):
    name, shm = make_segment(24 + 64)
    ring = shm.spsc()
    assert ring.push(b"xy")
    _poke(name, 16, struct.pack("<Q", capacity))
    peer = SM.open(name).spsc()
    for call in (lambda: peer.pop(), lambda: peer.push(b"z"), lambda: ring.pop("u8")):
        with pytest.raises(ValueError, match=r"^corrupt ring header: capacity "):
            call()
    assert peer.capacity() == capacity and peer.used() == 6
    _poke(name, 16, struct.pack("<Q", 64))
    assert peer.pop() == b"xy"


def test_header_of_a_segment_no_creator_initialised():
    name = unique_name("raw")
    fd = os.open(shm_path(name), os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        os.ftruncate(fd, 24 + 64)
        ring = SM.open(name).spsc()  # all zeros: capacity 0
        assert ring.pop() is None and ring.is_empty() and ring.capacity() == 0
        with pytest.raises(ValueError, match=r"^message too large: frame_len=5 > capacity=0 "):
            ring.push(b"x")
        assert repr(ring) == "SpscRingBuffer(capacity=0, used=0, free=0)"
    finally:
        os.close(fd)
        os.unlink(shm_path(name))


@pytest.mark.parametrize("size", [0, 3, 4])
def test_foreign_segment_too_small_for_a_view_is_refused(size):
    name = unique_name("small")
    fd = os.open(shm_path(name), os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    try:
        os.ftruncate(fd, size)
        shm = SM.open(name)
        assert shm.size() == size
        with pytest.raises(ValueError, match=r"^segment size must be > 4 bytes \(rwlock header\)$"):
            shm.map()
        with pytest.raises(ValueError, match=r"^map_size must be > 24 bytes \(spsc header\)$"):
            shm.spsc()
    finally:
        os.close(fd)
        os.unlink(shm_path(name))


# ---------------------------------------------------------------------------------------------
# Foreign lock words

INT32_MIN, INT32_MAX = -(1 << 31), (1 << 31) - 1


@pytest.mark.parametrize("word", [0, 1, 5, 1000, INT32_MAX, -1, -2, INT32_MIN])
def test_observers_report_any_lock_word(make_segment, word):
    name, shm = make_segment(4 + 16)
    view = shm.map()
    _poke(name, 0, struct.pack("<i", word))
    readers = word if word > 0 else 0
    locked = word == -1
    assert view.reader_count() == readers
    assert view.is_write_locked() is locked
    assert repr(view) == f"MappedView(data_size=16, readers={readers}, write_locked={str(locked).lower()})"
    assert _word(name) == word


@pytest.mark.parametrize("word", [1, 5, 1000])
def test_reads_under_foreign_shared_holds_work_and_restore_the_word(make_segment, word):
    name, shm = make_segment(4 + 16)
    view = shm.map()
    view.write_mixed([7, "ab"], 0)
    _poke(name, 0, struct.pack("<i", word))
    assert view.read_all()[:8] == struct.pack("<q", 7)
    assert view.read_range(8, 6) == b"\x02\x00\x00\x00ab"
    assert view.read("i64") == 7
    assert view.read_mixed([("str", 1)]) == ["ab"]
    assert _word(name) == word


# ---------------------------------------------------------------------------------------------
# Memory that is not there


def test_create_larger_than_shared_memory_fails_with_enospc_and_leaves_nothing(seg_name):
    stat = os.statvfs("/dev/shm")
    # Larger than the whole file system: the reservation fails at once, before any page is
    # allocated, so this does not fill the machine's memory.
    size = 2 * stat.f_blocks * stat.f_frsize
    with pytest.raises(OSError) as caught:
        SM.create(seg_name, size)
    assert caught.type is OSError and caught.value.args == ("ENOSPC: No space left on device",)
    assert not os.path.exists(shm_path(seg_name))


def _recreate_smaller(name, conn):
    shm = SM.create(name, 4096)
    conn.send(shm.size())


def test_create_with_a_smaller_size_never_shrinks_a_segment_others_have_mapped(mp_context, make_segment):
    # Shrinking would make the other processes' accesses past the new end fault (SIGBUS).
    name, shm = make_segment(1 << 20)
    view = shm.map()
    view.write(b"end", view.size() - 3)
    receive, send = mp_context.Pipe(duplex=False)
    child = mp_context.Process(target=_recreate_smaller, args=(name, send))
    child.start()
    assert receive.poll(CHILD_TIMEOUT) and receive.recv() == 4096
    child.join(CHILD_TIMEOUT)
    assert os.stat(shm_path(name)).st_size == 1 << 20
    assert view.read_range(view.size() - 3, 3) == b"end"
    assert SM.open(name).size() == 1 << 20


def _create_remove_loop(name, rounds, conn):
    unexpected = []
    for i in range(rounds):
        # No views here: both processes are creators, and a creator's map() resets the lock
        # word under the other's hold (a shared hold released after that reset leaves -1).
        try:
            shm = SM.create(name, 4096 + (i % 3) * 4096)
            assert shm.size() == 4096 + (i % 3) * 4096
            del shm
        except OSError as error:  # the other process removed it in between: nothing else
            unexpected.append(f"create/map: {error}")
        try:
            SM.remove(name)
        except OSError as error:
            if str(error) != "ENOENT: No such file or directory":
                unexpected.append(f"remove: {error}")
    conn.send(unexpected)


def test_two_processes_creating_and_removing_one_name_race_without_errors(mp_context, seg_name):
    # Exclusive creation, open and clean-up race against the other process's remove: every
    # create must still succeed, and a failed create must never remove the other's segment.
    pipes, children = [], []
    for _ in range(2):
        receive, send = mp_context.Pipe(duplex=False)
        child = mp_context.Process(target=_create_remove_loop, args=(seg_name, 2000, send))
        child.start()
        pipes.append(receive)
        children.append(child)
    for receive, child in zip(pipes, children):
        assert receive.poll(30)
        assert receive.recv() == []
        child.join(CHILD_TIMEOUT)
    assert not os.path.exists(shm_path(seg_name))


def _create_and_touch_the_end(name, size, seconds, conn):
    rounds = 0
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            view = SM.create(name, size).map()
        except OSError:
            continue  # removed by the other process between two system calls: try again
        view.write(b"e", view.size() - 1)  # faults (SIGBUS) if the segment was cut below size
        rounds += 1
    conn.send(rounds)


def _remove_repeatedly(name, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            SM.remove(name)
        except OSError:
            pass


def test_concurrent_creators_of_different_sizes_never_cut_each_others_segment(seg_name):
    # One creator makes the segment while another opens it in between and grows it; the first
    # must not then set it to its own smaller size under the second, whose view would fault.
    import multiprocessing

    context = multiprocessing.get_context("fork")
    pipes, creators = [], []
    for size in (4096, 8192, 256 << 10, 512 << 10):
        receive, send = context.Pipe(duplex=False)
        creators.append(context.Process(target=_create_and_touch_the_end, args=(seg_name, size, 2.5, send)))
        pipes.append(receive)
    remover = context.Process(target=_remove_repeatedly, args=(seg_name, 2.5))
    for process in creators + [remover]:
        process.start()
    for process in creators + [remover]:
        process.join(CHILD_TIMEOUT)
    assert [process.exitcode for process in creators + [remover]] == [0] * 5, "a creator died (SIGBUS is -7)"
    assert all(receive.recv() > 0 for receive in pipes)


def _vm_size():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


def _mappings(name):
    """The mappings of segment `name` in this process (an allocator may map other memory at any
    time: under ASan it does)."""
    path = shm_path(name)
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if line.rstrip("\n").endswith(path) or line.rstrip("\n").endswith(path + " (deleted)"))


def _with_little_address_space(name, conn):
    """Child: leaves itself 32 MiB of address space, then maps, pops and decodes more."""
    import resource

    shm = SM.open(name)
    ring = shm.spsc()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (_vm_size() + (32 << 20), hard))
    report = {}
    before = _mappings(name)
    for method in ("map", "spsc"):
        try:
            getattr(shm, method)()
            report[method] = "ok"
        except OSError as error:
            report[method] = str(error)
    report["mappings_unchanged"] = before >= 1 and _mappings(name) == before
    hoard = take_reusable_heap()
    used = ring.used()
    for how in ("raw", "str"):
        try:
            ring.pop() if how == "raw" else ring.pop("str")
            report[how] = "ok"
        except MemoryError:
            report[how] = "MemoryError"
        report[how + "_kept"] = ring.used() == used
    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    del hoard
    report["after"] = len(ring.pop("str"))
    report["empty"] = ring.used() == 0
    conn.send(report)


def test_mappings_and_messages_larger_than_the_address_space_fail_cleanly(mp_context, make_segment):
    # A 64 MiB data area holding one 48 MiB string message, in a process that may grow by only
    # 32 MiB: map() and spsc() fail with ENOMEM and map nothing; popping fails with MemoryError
    # and keeps the message, which pops once memory is there again.
    name, shm = make_segment(24 + (64 << 20))
    ring = shm.spsc()
    assert ring.push("m" * (48 << 20))
    receive, send = mp_context.Pipe(duplex=False)
    child = mp_context.Process(target=_with_little_address_space, args=(name, send))
    child.start()
    assert receive.poll(30), "the child died"
    report = receive.recv()
    child.join(CHILD_TIMEOUT)
    assert report == {"map": "ENOMEM: Out of memory", "spsc": "ENOMEM: Out of memory", "mappings_unchanged": True,
                      "raw": "MemoryError", "raw_kept": True, "str": "MemoryError", "str_kept": True,
                      "after": 48 << 20, "empty": True}


_SMALL_SHM_SCRIPT = r"""
import json, os, subprocess, sys
if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", "/dev/shm"]).returncode != 0:
    sys.exit(77)
import kelparine
SM = kelparine.SharedMemory
report = {}

def attempt(key, call):
    try:
        call()
        report[key] = "ok"
    except OSError as error:
        report[key] = str(error)

attempt("too_large", lambda: SM.create("/enospc-big", 4 << 20))
report["too_large_left"] = os.listdir("/dev/shm")
first = SM.create("/enospc-first", 512 << 10)
view = first.map()
view.write(b"kept", 0)
attempt("second", lambda: SM.create("/enospc-second", 768 << 10))
attempt("grow", lambda: SM.create("/enospc-first", 2 << 20))
report["left"] = sorted(os.listdir("/dev/shm"))
report["first_size"] = os.stat("/dev/shm/enospc-first").st_size
report["first_data"] = view.read_range(0, 4).decode()
report["reopened_size"] = SM.open("/enospc-first").size()
print(json.dumps(report))
"""


def test_create_on_a_full_dev_shm_fails_with_enospc_and_leaves_nothing():
    """In a private mount namespace, /dev/shm is replaced by a 1 MiB tmpfs: a segment it cannot
    back fails in create, whether new or grown, and leaves no file and no changed segment."""
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        pytest.skip("needs root and unshare(1) for a private mount namespace")
    module_dir = os.path.dirname(os.path.abspath(kelparine.__file__))
    env = dict(os.environ, PYTHONPATH=module_dir)
    try:
        result = subprocess.run([unshare, "-m", "--propagation", "private", sys.executable, "-c", _SMALL_SHM_SCRIPT],
                                env=env, capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail("the namespace child did not finish")
    if result.returncode == 77 or (result.returncode != 0 and result.stderr.startswith("unshare:")):
        pytest.skip(f"private mount namespace or tmpfs mount not permitted: {result.stderr.strip()[-200:]}")
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    enospc = "ENOSPC: No space left on device"
    assert report["too_large"] == enospc and report["too_large_left"] == []
    assert report["second"] == enospc
    assert report["grow"] == enospc
    assert report["left"] == ["enospc-first"]
    assert report["first_size"] == 512 << 10 and report["reopened_size"] == 512 << 10
    assert report["first_data"] == "kept"


# ---------------------------------------------------------------------------------------------
# Finalizers run by the garbage collector in the middle of a call

# Decoding a long schema allocates one list per entry, and allocating a list can start the
# cyclic garbage collector, which runs the finalizers of unreachable cycles: arbitrary Python
# code in the middle of the call. A finalizer that writes to the segment while read_mixed
# holds the lock shared would wait for its own thread forever; one that pops from the ring
# while pop_mixed decodes a message in place would take that same message a second time.
_FINALIZER_SCRIPT = r"""
import gc, json, sys
import kelparine
SM = kelparine.SharedMemory
name, kind = sys.argv[1], sys.argv[2]
seen = []
schema = [("u8", 0)] * 3000

class Cycle:
    def __init__(self, action):
        self.action, self.me = action, self
    def __del__(self):
        seen.append(self.action())

try:
    if kind == "view":
        view = SM.create(name, 4 + 64).map()
        def write_from_finalizer():
            readers = view.reader_count()
            view.write(b"f", 0)
            return readers
        gc.collect()
        Cycle(write_from_finalizer)
        result = view.read_mixed(schema)
        gc.collect()
        report = {"entries": len(result), "seen": seen, "byte": view.read_range(0, 1).decode()}
        gc.disable()
        view.read_mixed(schema)
        report["stays_disabled"] = not gc.isenabled()
        gc.enable()
    else:
        ring = SM.create(name, 24 + 64).spsc()
        consumer = SM.open(name).spsc()
        for message in (b"first", b"second", b"third"):
            ring.push(message)
        gc.collect()
        Cycle(lambda: consumer.pop().decode())
        result = consumer.pop_mixed([("u8", 5)] + schema)
        gc.collect()
        rest = []
        while (message := consumer.pop()) is not None:
            rest.append(message.decode())
        report = {"first": bytes(result[0]).decode(), "seen": seen, "rest": rest, "used": ring.used()}
    report["gc_enabled"] = gc.isenabled()
    print(json.dumps(report))
finally:
    SM.remove(name)
"""


def _run_finalizer_script(kind, name):
    module_dir = os.path.dirname(os.path.abspath(kelparine.__file__))
    env = dict(os.environ, PYTHONPATH=module_dir)
    try:
        result = subprocess.run([sys.executable, "-c", _FINALIZER_SCRIPT, name, kind], env=env,
                                capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    except subprocess.TimeoutExpired:
        pytest.fail("the call never returned: a finalizer waited for a hold its own thread had")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_finalizer_writing_during_read_mixed_runs_after_the_hold_is_released(seg_name):
    report = _run_finalizer_script("view", seg_name)
    assert report == {"entries": 3000, "seen": [0], "byte": "f", "stays_disabled": True, "gc_enabled": True}


def test_finalizer_popping_during_pop_mixed_gets_the_next_message_not_the_same_one(seg_name):
    report = _run_finalizer_script("ring", seg_name)
    assert report == {"first": "first", "seen": ["second"], "rest": ["third"], "used": 0, "gc_enabled": True}


# ---------------------------------------------------------------------------------------------
# Python code run while a write waits for the lock

# Waiting for the lock runs signal handlers (so that Ctrl-C works). A bytearray is written
# from its own storage, without a copy: a handler that resized it during the wait would leave
# the write copying from freed memory.
_RESIZE_SCRIPT = r"""
import json, mmap, signal, struct, sys
import kelparine
name = sys.argv[1]
size = 8 << 20
view = kelparine.SharedMemory.create(name, 4 + size).map()
try:
    with open("/dev/shm" + name, "r+b") as segment:
        word = mmap.mmap(segment.fileno(), 4096)
    data = bytearray(b"\xaa") * size
    outcome = {}
    def handler(signum, frame):
        try:
            data.clear()
            outcome["resized"] = True
        except BufferError:
            outcome["resized"] = False
        word[0:4] = struct.pack("<i", 0)   # the foreign hold ends: the write may go on
    signal.signal(signal.SIGALRM, handler)
    word[0:4] = struct.pack("<i", 1)       # a foreign shared hold: the write must wait
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    view.write(data, 0)
    outcome["length"] = len(data)
    outcome["written"] = view.read_range(0, 1) + view.read_range(size - 1, 1) == b"\xaa\xaa"
    print(json.dumps(outcome))
finally:
    kelparine.SharedMemory.remove(name)
"""


def test_bytearray_cannot_be_resized_under_a_write_waiting_for_the_lock(seg_name):
    module_dir = os.path.dirname(os.path.abspath(kelparine.__file__))
    result = subprocess.run([sys.executable, "-c", _RESIZE_SCRIPT, seg_name], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=module_dir), timeout=CHILD_TIMEOUT)
    assert result.returncode == 0, f"exit {result.returncode}: {result.stderr}"
    assert json.loads(result.stdout) == {"resized": False, "length": 8 << 20, "written": True}


@pytest.mark.parametrize("offset", [0, None, 1000])
def test_bytearray_can_be_resized_again_after_a_write(make_segment, offset):
    # The export that pins the bytearray ends with the call, whether it wrote or failed.
    _, shm = make_segment(4 + 1024)
    view = shm.map()
    data = bytearray(b"x" * 100)
    if offset == 1000:
        with pytest.raises(ValueError, match=r"^out of bounds"):
            view.write(data, offset)
    else:
        view.write(data, offset)
    data.extend(b"more")
    data.clear()
    assert view.read_range(0, 100) == (bytes(100) if offset == 1000 else b"x" * 100)


# A write copies only from memory that the export it holds pins, so a handler run during the
# wait can neither free nor resize it, whatever the exporter. A bytearray subclass may define
# __buffer__ (PEP 688, Python 3.12+) to export some other object: the write pins the bytearray
# itself through bytearray's own export, never the object __buffer__ names.
_PINNED_SCRIPT = r"""
import array, json, mmap, signal, struct, sys
import kelparine
name, kind = sys.argv[1], sys.argv[2]
size = 1 << 20
view = kelparine.SharedMemory.create(name, 4 + size).map()

class ExportsSomethingElse(bytearray):
    def __buffer__(self, flags):
        return memoryview(b"")

def anonymous_mmap():
    m = mmap.mmap(-1, size)
    m.write(b"\xaa" * size)
    return m

data, free = {
    "bytearray-subclass-with-buffer": (ExportsSomethingElse(b"\xaa" * size), lambda d: d.clear()),
    "array": (array.array("B", b"\xaa" * size), lambda d: d.extend(b"more" * size)),
    "mmap": (anonymous_mmap(), lambda d: d.close()),
    "memoryview": (memoryview(bytearray(b"\xaa" * size)), lambda d: d.obj.clear()),
}[kind]
try:
    with open("/dev/shm" + name, "r+b") as segment:
        word = mmap.mmap(segment.fileno(), 4096)
    outcome = {}
    def handler(signum, frame):
        try:
            free(data)
            junk = [bytes([0x55]) * 4096 for _ in range(512)]  # would reuse freed storage
            outcome["freed"] = True
        except BufferError:
            outcome["freed"] = False
        finally:
            word[0:4] = struct.pack("<i", 0)   # the foreign hold ends: the write may go on
    signal.signal(signal.SIGALRM, handler)
    word[0:4] = struct.pack("<i", 1)       # a foreign shared hold: the write must wait
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    view.write(data, 0)
    outcome["written"] = view.read_all() == b"\xaa" * size
    print(json.dumps(outcome))
finally:
    kelparine.SharedMemory.remove(name)
"""


@pytest.mark.parametrize("kind", ["bytearray-subclass-with-buffer", "array", "mmap", "memoryview"])
def test_memory_a_waiting_write_copies_from_stays_pinned(seg_name, kind):
    module_dir = os.path.dirname(os.path.abspath(kelparine.__file__))
    result = subprocess.run([sys.executable, "-c", _PINNED_SCRIPT, seg_name, kind], capture_output=True, text=True,
                            env=dict(os.environ, PYTHONPATH=module_dir), timeout=CHILD_TIMEOUT)
    assert result.returncode == 0, f"exit {result.returncode}: {result.stderr}"
    assert json.loads(result.stdout) == {"freed": False, "written": True}


# A handler run during the wait may also move the cursor of the very view that waits. The
# operation already chose its position; the cursor must end just past the bytes it wrote or
# read there, never past the end of the data area (where a later read would reach beyond it).
_SEEK_SCRIPT = r"""
import json, mmap, signal, struct, sys
import kelparine
name, operation = sys.argv[1], sys.argv[2]
view = kelparine.SharedMemory.create(name, 4 + 4096).map()
try:
    with open("/dev/shm" + name, "r+b") as segment:
        word = mmap.mmap(segment.fileno(), 4096)
    view.write_mixed([7, "abc"], 100)
    view.seek(100)
    def handler(signum, frame):
        view.seek(view.size())
        word[0:4] = struct.pack("<i", 0)
    signal.signal(signal.SIGALRM, handler)
    # Writers wait for a shared hold to end, readers for an exclusive one.
    word[0:4] = struct.pack("<i", 1 if operation.startswith("write") else -1)
    signal.setitimer(signal.ITIMER_REAL, 0.1)
    if operation == "write":
        view.write(b"x" * 3000)
    elif operation == "write_mixed":
        view.write_mixed([b"x" * 3000])
    elif operation == "read":
        view.read("i64")
    else:
        view.read_mixed([("i64", 1), ("str", 1)])
    print(json.dumps({"tell": view.tell(), "size": view.size()}))
finally:
    kelparine.SharedMemory.remove(name)
"""


@pytest.mark.parametrize("operation, end", [("write", 3100), ("write_mixed", 3100), ("read", 108),
                                            ("read_mixed", 115)])
def test_cursor_moved_by_a_handler_during_the_wait_ends_past_what_the_call_did(seg_name, operation, end):
    module_dir = os.path.dirname(os.path.abspath(kelparine.__file__))
    result = subprocess.run([sys.executable, "-c", _SEEK_SCRIPT, seg_name, operation], capture_output=True,
                            text=True, env=dict(os.environ, PYTHONPATH=module_dir), timeout=CHILD_TIMEOUT)
    assert result.returncode == 0, f"exit {result.returncode}: {result.stderr}"
    assert json.loads(result.stdout) == {"tell": end, "size": 4096}


# ---------------------------------------------------------------------------------------------
# create(): the size peers see, reservation, and the wait for the sizing lock

_GROW_SCRIPT = r"""
import json, os, subprocess, sys
if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64m", "tmpfs", "/dev/shm"]).returncode != 0:
    sys.exit(77)
import kelparine
SM = kelparine.SharedMemory
SM.create("/filler", 40 << 20)
view = SM.create("/grown", 1 << 20).map()
read_end, write_end = os.pipe()
if os.fork() == 0:  # a peer: the largest size it ever sees while the creates below run
    largest = 0
    while not os.path.exists("/dev/shm/stop"):
        largest = max(largest, os.stat("/dev/shm/grown").st_size)
    os.write(write_end, str(largest).encode())
    os._exit(0)
errors = set()
for _ in range(20):
    try:
        SM.create("/grown", 48 << 20)  # more than is free, less than the file system
    except OSError as error:
        errors.add(str(error))
open("/dev/shm/stop", "w").close()
print(json.dumps({"errors": sorted(errors), "largest_seen": int(os.read(read_end, 64)),
                  "size": os.stat("/dev/shm/grown").st_size}))
"""


def test_failed_growth_never_shows_peers_a_size_it_then_takes_back():
    # A peer that opened the segment while a larger create was still reserving would have mapped
    # the larger size, and died with SIGBUS once the failed create cut it back.
    unshare = shutil.which("unshare")
    if unshare is None or os.geteuid() != 0:
        pytest.skip("needs root and unshare(1) for a private mount namespace")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.abspath(kelparine.__file__)))
    result = subprocess.run([unshare, "-m", "--propagation", "private", sys.executable, "-c", _GROW_SCRIPT],
                            env=env, capture_output=True, text=True, timeout=60)
    if result.returncode == 77 or (result.returncode != 0 and result.stderr.startswith("unshare:")):
        pytest.skip(f"private mount namespace or tmpfs mount not permitted: {result.stderr.strip()[-200:]}")
    assert result.returncode == 0, result.stderr
    assert json.loads(result.stdout) == {"errors": ["ENOSPC: No space left on device"], "largest_seen": 1 << 20,
                                         "size": 1 << 20}


@pytest.mark.parametrize("size", [1 << 20, 256 << 10, 2 << 20], ids=["same", "smaller", "larger"])
def test_create_reserves_all_of_an_existing_sparse_segment(seg_name, size):
    # Made sparse by another program: every byte handed out must be reserved, not only those added.
    fd = os.open(shm_path(seg_name), os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o600)
    os.ftruncate(fd, 1 << 20)
    os.close(fd)
    SM.create(seg_name, size)
    info = os.stat(shm_path(seg_name))
    assert info.st_size == max(size, 1 << 20) and info.st_blocks * 512 >= size


def _hold_flock(name, conn):
    import fcntl

    fcntl.flock(os.open(shm_path(name), os.O_RDONLY), fcntl.LOCK_EX)  # read access is all it takes
    conn.send("held")
    conn.recv()  # until told to let go


def _create_while_locked(name, conn):
    import threading

    signal.signal(signal.SIGINT, signal.default_int_handler)
    ticks = [0]

    def tick():  # runs only while the main thread has given up the interpreter lock
        while True:
            ticks[0] += 1
            time.sleep(0.005)

    threading.Thread(target=tick, daemon=True).start()
    conn.send("creating")
    before = ticks[0]
    try:
        SM.create(name, 8192)
        conn.send(("created", ticks[0] - before))
    except KeyboardInterrupt:
        conn.send(("interrupted", ticks[0] - before))


def test_create_waiting_for_the_sizing_lock_lets_threads_run_and_stops_on_ctrl_c(mp_context, make_segment):
    name, shm = make_segment(4096)
    shm.map().write(b"before", 0)
    before = os.stat(shm_path(name))
    holder_end, holder_conn = mp_context.Pipe()
    holder = mp_context.Process(target=_hold_flock, args=(name, holder_conn))
    receive, send = mp_context.Pipe(duplex=False)
    creator = mp_context.Process(target=_create_while_locked, args=(name, send))
    try:
        holder.start()
        assert holder_end.poll(CHILD_TIMEOUT) and holder_end.recv() == "held"
        creator.start()
        assert receive.poll(CHILD_TIMEOUT) and receive.recv() == "creating"
        assert not receive.poll(0.5)  # waits as long as the lock is held
        os.kill(creator.pid, signal.SIGINT)
        assert receive.poll(5), "Ctrl-C did not end the wait"  # 100 ms by design; generous here
        outcome, ticks = receive.recv()
        assert outcome == "interrupted" and ticks > 1
        # Nothing changed: not the size, not the mode, not the bytes.
        after = os.stat(shm_path(name))
        assert (after.st_size, after.st_mode) == (before.st_size, before.st_mode)
        assert SM.open(name).map().read_range(0, 6) == b"before"
    finally:
        holder_end.send("release")
        for process in (holder, creator):
            if process.pid is None:  # never started
                continue
            process.join(CHILD_TIMEOUT)
            if process.is_alive():
                process.kill()
                process.join()
    assert SM.create(name, 8192).size() == 8192  # once free, the lock is taken again
