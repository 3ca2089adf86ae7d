"""A SharedMemory handle's life: close(), closed(), the with statement, and pickling by name
(every protocol from 4, a closed handle, spawn and forkserver children)."""

import gc
import multiprocessing
import os
import pickle

import pytest

import kelparine
from conftest import shm_path

SM = kelparine.SharedMemory


def test_close_releases_only_the_descriptor_and_later_calls_raise(make_segment):
    name, shm = make_segment(4120)
    view = shm.map()
    gc.collect()
    fds = len(os.listdir("/proc/self/fd"))
    shm.close()
    shm.close()  # again: harmless
    assert shm.closed() is True and len(os.listdir("/proc/self/fd")) == fds - 1
    assert repr(shm) == f"SharedMemory(name='{name}', size=4120, role=creator, closed=true)"
    for call in (shm.map, shm.spsc, shm.name, shm.size, shm.__enter__, lambda: shm._clear_stale_lock(0)):
        with pytest.raises(ValueError) as info:
            call()
        assert type(info.value) is ValueError and info.value.args == ("SharedMemory is closed",)
    view.write(b"after close", 0)  # the segment and the views made before stay
    assert SM.open(name).map().read_range(0, 11) == b"after close"


def test_with_closes_at_exit_even_on_an_exception_and_never_removes(seg_name):
    with pytest.raises(KeyError):
        with SM.create(seg_name, 64) as shm:
            assert shm.closed() is False
            raise KeyError("inside")
    assert shm.closed() is True and os.path.exists(shm_path(seg_name))


@pytest.mark.parametrize("protocol", range(4, pickle.HIGHEST_PROTOCOL + 1))
def test_pickles_by_name_to_an_opener_even_when_closed(make_segment, protocol):
    name, shm = make_segment(4096)
    shm.map().write(b"shared", 0)
    shm.close()
    assert shm.__reduce__() == (SM.open, (name,))
    again = pickle.loads(pickle.dumps(shm, protocol))
    assert repr(again) == f"SharedMemory(name='{name}', size=4096, role=opener)"
    assert again.map().read_range(0, 6) == b"shared"


def _write_through(shm, conn):
    shm.map().write(b"from the child", 0)
    conn.send(repr(shm))


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_handle_passed_to_a_child(make_segment, method):
    name, shm = make_segment(4096)
    context = multiprocessing.get_context(method)
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=_write_through, args=(shm, send))
    child.start()
    child.join(60)
    assert child.exitcode == 0 and receive.recv() == f"SharedMemory(name='{name}', size=4096, role=opener)"
    assert shm.map().read_range(0, 14) == b"from the child"


def _consume_and_reply(ring, view, replies, conn):
    # The ring arrives as an opener's mapping: what the parent pushed is still there.
    conn.send([ring.get(timeout=30) for _ in range(2)] + [view.read_range(0, 5), view.tell()])
    replies.put(b"pong", timeout=30)


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_rings_and_views_passed_to_a_child(make_segment, method):
    _, ring_shm = make_segment(24 + 256)
    _, reply_shm = make_segment(24 + 256)
    _, view_shm = make_segment(4 + 64)
    ring, replies, view = ring_shm.spsc(), reply_shm.spsc(), view_shm.map()
    ring.push_many([b"one", b"two"])
    view.write(b"hello")
    context = multiprocessing.get_context(method)
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=_consume_and_reply, args=(ring, view, replies, send))
    child.start()
    assert receive.recv() == [b"one", b"two", b"hello", 0]
    assert replies.get(timeout=30) == b"pong"
    child.join(60)
    assert child.exitcode == 0
    for obj in (ring, view):
        obj.close()
        with pytest.raises(ValueError, match="is closed"):
            pickle.dumps(obj)
