"""Presence and roles between real processes: a wait never outlives its peer, roles behave as
the ends of a pipe, and an exclusive role refuses a second live process."""

import os
import signal
import time

import pytest

import kelparine

SM = kelparine.SharedMemory
CAPACITY = 256
BOUND = 30  # seconds: generous bounds for anything that waits


def _produce(name, count, conn):
    """Child: puts `count` messages (parking when the ring is full), reports, then sleeps."""
    ring = SM.open(name).spsc()
    conn.send("started")
    for i in range(count):
        ring.put(b"%06d" % i, timeout=BOUND)
    conn.send("done")
    time.sleep(BOUND)


def _consume_one_then_sleep(name, conn):
    """Child: takes one message (and so the consumer role), reports, then sleeps."""
    ring = SM.open(name).spsc()
    conn.send(ring.get(timeout=BOUND))
    time.sleep(BOUND)


def _push_and_report(name, conn):
    ring = SM.open(name).spsc()
    try:
        conn.send(ring.push(b"x"))
    except RuntimeError as error:
        conn.send(str(error))


def _claim_and_sleep(name, role, conn):
    ring = SM.open(name).spsc()
    ring.claim_role(role)
    conn.send("claimed")
    time.sleep(BOUND)


def _kill(process):
    os.kill(process.pid, signal.SIGKILL)
    process.join(BOUND)


@pytest.fixture
def ring(make_segment):
    name, shm = make_segment(24 + CAPACITY)
    return name, shm.spsc()


def test_a_killed_producer_parked_in_put_leaves_every_message_then_end_of_file(mp_context, ring):
    name, consumer = ring
    receive, send = mp_context.Pipe(False)
    producer = mp_context.Process(target=_produce, args=(name, 1000, send))
    producer.start()
    assert receive.recv() == "started"
    assert consumer.has_consumer() is False
    first = consumer.get(timeout=BOUND)          # seen: the producer holds its role
    while consumer.free() >= 10:                 # the producer refills and parks in put()
        time.sleep(0.01)
    _kill(producer)
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    signal.alarm(BOUND)                          # a wait that never ended fails, not hangs
    try:
        rest = list(consumer)                    # iteration ends at the producer's end of file
    finally:
        signal.alarm(0)
    assert [first] + rest == [b"%06d" % i for i in range(len(rest) + 1)]
    assert len(rest) >= CAPACITY // 10 - 1 and consumer.has_producer() is False


def test_a_killed_consumer_ends_a_producer_parked_in_put_with_broken_pipe(mp_context, ring):
    name, producer = ring
    receive, send = mp_context.Pipe(False)
    producer.put(b"first")
    consumer = mp_context.Process(target=_consume_one_then_sleep, args=(name, send))
    consumer.start()
    assert receive.recv() == b"first"
    while producer.push(b"y" * 60):              # fill the ring: put() must wait
        pass
    assert producer.has_consumer() is True
    _kill(consumer)
    with pytest.raises(BrokenPipeError, match="consumer is gone"):
        producer.put(b"z" * 60, timeout=BOUND)


def test_a_consumer_waits_for_a_late_producer_and_accepts_a_restarted_one(mp_context, ring):
    name, consumer = ring
    for round_ in range(2):
        receive, send = mp_context.Pipe(False)
        producer = mp_context.Process(target=_produce, args=(name, 3, send))
        if round_ == 1:
            with pytest.raises(EOFError):       # the first producer is gone: end of file once
                consumer.get(timeout=BOUND)
        producer.start()                         # after the consumer started waiting
        assert [consumer.get(timeout=BOUND) for _ in range(3)] == [b"000000", b"000001", b"000002"]
        assert receive.recv() == "started" and receive.recv() == "done"
        _kill(producer)


def test_roles_are_shared_by_objects_of_a_process_and_handed_over_by_fork(make_segment):
    name, shm = make_segment(24 + CAPACITY)
    observer = SM.open(name).spsc()
    first, second = shm.spsc(), shm.spsc()
    first.push(b"a")
    second.push(b"b")
    assert observer.has_producer() is True
    first.close()
    assert observer.has_producer() is True       # the process's other object still holds it
    pid = os.fork()
    if pid == 0:                                 # the child produces after its parent
        child_ring = SM.open(name).spsc()
        os._exit(0 if child_ring.push(b"c") else 1)
    assert os.waitpid(pid, 0)[1] == 0
    second.close()
    assert observer.has_producer() is False      # a role is gone with its last holder
    assert [observer.pop() for _ in range(3)] == [b"a", b"b", b"c"]
    assert observer.others_present() is False and shm.others_present() is False


def test_a_forked_child_does_not_keep_its_parents_role(make_segment):
    name, shm = make_segment(24 + CAPACITY)
    consumer = shm.spsc()
    go_read, go_write = os.pipe()
    producer = os.fork()
    if producer == 0:                            # the producer forks a child, then ends
        ring = SM.open(name).spsc()
        child = os.fork()
        if child == 0:
            time.sleep(BOUND)                    # lives on, holding no role of its own
            os._exit(0)
        ring.push(b"%d" % child)
        os.read(go_read, 1)
        os._exit(0)
    child = int(consumer.get(timeout=BOUND))
    try:
        assert consumer.has_producer() is True
        os.write(go_write, b"x")
        os.waitpid(producer, 0)
        assert consumer.others_present() is True  # the child is present ...
        deadline = time.monotonic() + BOUND        # ... but lets go of the producer's locks
        while consumer.has_producer() and time.monotonic() < deadline:
            time.sleep(0.001)                      # (shared until it has run its fork clean-up)
        assert consumer.has_producer() is False
        with pytest.raises(EOFError):
            consumer.get(timeout=BOUND)
    finally:
        os.kill(child, signal.SIGKILL)
        os.close(go_read)
        os.close(go_write)


def test_an_exclusive_role_refuses_another_live_process_and_ends_with_it(mp_context, ring):
    name, _ = ring
    receive, send = mp_context.Pipe(False)
    owner = mp_context.Process(target=_claim_and_sleep, args=(name, "producer", send))
    owner.start()
    assert receive.recv() == "claimed"
    mine = SM.open(name).spsc()
    with pytest.raises(RuntimeError, match="exclusively .*one producer and one consumer"):
        mine.push(b"x")
    with pytest.raises(RuntimeError, match="cannot claim the producer role"):
        mine.claim_role("producer")
    assert mine.is_empty()                       # nothing was written
    _kill(owner)
    checker = mp_context.Process(target=_push_and_report, args=(name, send))
    checker.start()
    assert receive.recv() is True
    checker.join(BOUND)
    with pytest.raises(ValueError, match="'producer' or 'consumer'"):
        mine.claim_role("both")
