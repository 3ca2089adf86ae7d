"""A SharedMemory handle's life: close(), closed(), the with statement, what a closed handle
still answers, and pickling by name (copies, and spawn and forkserver children)."""

import copy
import gc
import multiprocessing
import os
import pickle

import pytest

import kelparine
from conftest import shm_path

SM = kelparine.SharedMemory
CLOSED = "SharedMemory is closed"


def open_fds():
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def test_close_releases_the_descriptor_and_nothing_else(make_segment):
    name, shm = make_segment(4096)
    view = shm.map()
    fds = open_fds()
    assert shm.closed() is False
    assert shm.close() is None
    assert shm.close() is None  # again: harmless
    assert shm.closed() is True
    assert open_fds() == fds - 1
    assert repr(shm) == f"SharedMemory(name='{name}', size=4096, role=creator, closed=true)"
    # The segment and the views made before stay.
    assert os.path.exists(shm_path(name))
    view.write(b"after close", 0)
    assert SM.open(name).map().read_range(0, 11) == b"after close"


@pytest.mark.parametrize(
    "call",
    [lambda h: h.map(), lambda h: h.spsc(), lambda h: h.name(), lambda h: h.size(), lambda h: h.__enter__(),
     lambda h: h._clear_stale_lock(0)],
    ids=["map", "spsc", "name", "size", "enter", "clear"],
)
def test_members_of_a_closed_handle_raise(make_segment, call):
    _, shm = make_segment(4120)
    shm.close()
    with pytest.raises(ValueError) as info:
        call(shm)
    assert type(info.value) is ValueError and info.value.args == (CLOSED,)


def test_static_members_work_through_a_closed_handle(make_segment):
    name, shm = make_segment(64)
    other, _ = make_segment(64)
    shm.close()
    assert shm.open(other).size() == 64
    shm.remove(other)
    assert not os.path.exists(shm_path(other)) and os.path.exists(shm_path(name))


def test_with_closes_at_exit_and_never_removes(seg_name):
    with SM.create(seg_name, 64) as shm:
        assert shm.closed() is False
        view = shm.map()
    assert shm.closed() is True
    assert os.path.exists(shm_path(seg_name))
    view.write(b"ok")

    with pytest.raises(KeyError):  # an exception goes on, and the handle is closed all the same
        with SM.open(seg_name) as opened:
            raise KeyError("inside")
    assert opened.closed() is True
    assert os.path.exists(shm_path(seg_name))
    assert shm.__exit__(None, None, None) is None  # on a closed handle too


@pytest.mark.parametrize("protocol", range(4, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("close", [False, True], ids=["open", "closed"])
def test_pickles_by_name_to_an_opener(make_segment, protocol, close):
    name, shm = make_segment(4096)
    shm.map().write(b"shared", 0)
    if close:
        shm.close()
    data = pickle.dumps(shm, protocol)
    assert name.encode() in data and len(data) < 100 + len(name)  # the name, nothing else
    again = pickle.loads(data)
    assert repr(again) == f"SharedMemory(name='{name}', size=4096, role=opener)"
    assert again.map().read_range(0, 6) == b"shared"
    assert shm.__reduce__() == (SM.open, (name,))


def test_copies_are_openers_of_the_same_segment(make_segment):
    name, shm = make_segment(4096)
    for twin in (copy.copy(shm), copy.deepcopy(shm)):
        assert twin is not shm and not twin.closed()
        assert repr(twin) == f"SharedMemory(name='{name}', size=4096, role=opener)"


def test_unpickling_a_removed_segment_fails_like_open(make_segment):
    name, shm = make_segment(64)
    data = pickle.dumps(shm)
    SM.remove(name)
    with pytest.raises(FileNotFoundError):
        pickle.loads(data)


def _write_through(shm, conn):
    shm.map().write(b"from the child", 0)
    conn.send(repr(shm))


@pytest.mark.parametrize("method", ["spawn", "forkserver"])
def test_handle_passed_to_a_child(make_segment, method):
    name, shm = make_segment(4096)
    view = shm.map()
    context = multiprocessing.get_context(method)
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=_write_through, args=(shm, send))
    child.start()
    try:
        assert receive.poll(60), "the child sent nothing"
        assert receive.recv() == f"SharedMemory(name='{name}', size=4096, role=opener)"
    finally:
        child.join(60)
    assert child.exitcode == 0
    assert view.read_range(0, 14) == b"from the child"
