"""Threads of one process against each other: close() racing calls that give the interpreter
lock up, objects dropped under a wait, and threads still waiting when the program ends. Each
scenario runs in a child interpreter, so that a crash fails the test instead of the suite."""

import os
import subprocess
import sys
import textwrap

import pytest

import kelparine

CHILD_TIMEOUT = 120

_PRELUDE = """
import mmap, os, random, struct, sys, threading, time
from kelparine import SharedMemory, SpscRingBuffer
NAME = sys.argv[1]
shm = SharedMemory.create(NAME, int(sys.argv[2]))
with open("/dev/shm" + NAME, "r+b") as segment:   # plays another process on the first page
    foreign = mmap.mmap(segment.fileno(), 4)
SharedMemory.remove(NAME)   # the mappings keep it alive; nothing is left behind
def race(call, attempts, make, closing=lambda obj: obj.close()):
    '''Runs call(obj) in a thread while this thread closes obj; the call must end normally or
    with "... is closed", and close() either closes or refuses with BufferError.'''
    for _ in range(attempts):
        obj = make()
        outcome = []
        def run():
            try:
                call(obj)
                outcome.append("done")
            except ValueError as error:
                assert str(error).endswith(" is closed"), error
                outcome.append("closed")
        thread = threading.Thread(target=run)
        thread.start()
        time.sleep(random.uniform(0, 0.004))
        try:
            closing(obj)
        except BufferError:
            pass
        thread.join()
        assert outcome, "the call raised something else"
"""

_CLOSE_RACES = {
    # pop_many of large messages: one copy without the interpreter lock per message.
    "pop_many": (24 + (8 << 20), """
def make():
    ring = shm.spsc()
    for _ in range(7):
        ring.push(b"x" * (1 << 20))
    return ring
race(lambda ring: ring.pop_many(7), 40, make)
"""),
    # A view's read after a wait for the lock word (held by "another process"): the copy then
    # runs without the interpreter lock, and close() comes just as the wait ends.
    "view-after-lock-wait": (4 + (8 << 20), """
for _ in range(40):
    view, outcome = shm.map(), []
    struct.pack_into("<i", foreign, 0, -1)
    def read():
        try:
            outcome.append(len(view.read_all()))
        except ValueError as error:
            outcome.append(str(error))
    thread = threading.Thread(target=read)
    thread.start()
    time.sleep(0.01)                                   # parked in the wait for the word
    struct.pack_into("<i", foreign, 0, 0)
    while struct.unpack_from("<i", foreign, 0)[0] == 0 and thread.is_alive():
        pass                                           # until it holds the word, shared
    view.close()
    thread.join()
    assert outcome in ([8 << 20], ["MappedView is closed"]), outcome
"""),
    # borrow() of a message that wraps copies it out before lending it.
    "borrow-wrapping": (24 + (32 << 20), """
def make():
    ring = shm.spsc()
    ring.push(b"a" * (24 << 20)); ring.pop()
    ring.push(b"b" * (16 << 20))          # wraps past the end of the data area
    return ring
def borrow(ring):
    with ring.borrow() as buf:
        assert not ring.closed() and len(buf) == 16 << 20
race(borrow, 40, make)
"""),
    # A view made before fork() and used by a thread of the child while the child closes it.
    "fork-child": (4 + (1 << 20), """
view = shm.map()
pid = os.fork()
if pid == 0:
    race(lambda v: [v.read_all() for _ in range(200)], 5, lambda: view if not view.closed() else shm.map())
    os._exit(0)
_, status = os.waitpid(pid, 0)
assert status == 0, f"the child ended with status {status}"
"""),
}


def _run(body, *args):
    module_dir = os.path.dirname(os.path.abspath(kelparine.__file__))
    env = dict(os.environ, PYTHONPATH=module_dir)
    return subprocess.run([sys.executable, "-c", textwrap.dedent(body), *map(str, args)], env=env,
                          capture_output=True, text=True, timeout=CHILD_TIMEOUT)


@pytest.mark.parametrize("scenario", sorted(_CLOSE_RACES))
def test_close_waits_for_calls_in_flight_in_other_threads(seg_name, scenario):
    size, body = _CLOSE_RACES[scenario]
    result = _run(_PRELUDE + body, seg_name, size)
    assert result.returncode == 0, result.stderr[-2000:]


def test_select_holds_the_rings_when_the_callers_list_is_emptied(seg_name):
    result = _run(_PRELUDE + """
rings = [shm.spsc()]
def drop():
    time.sleep(0.2)
    rings.clear()                   # the list held the last reference to the ring
threading.Thread(target=drop).start()
assert SpscRingBuffer.select(rings, timeout=1.0) == []
""", seg_name, 24 + 64)
    assert result.returncode == 0, result.stderr[-2000:]


def test_a_thread_still_waiting_when_the_program_ends_does_not_abort_it(seg_name):
    result = _run(_PRELUDE + """
ring = shm.spsc()
threading.Thread(target=ring.get, daemon=True).start()
state = [{"k": i} for i in range(1_000_000)]   # takes a moment to free at exit
time.sleep(0.1)
""", seg_name, 24 + 64)
    assert result.returncode == 0, result.stderr[-2000:]
