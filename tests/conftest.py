"""Shared fixtures: unique segment names that are removed after each test, and a way to run
code in a real child process."""

import itertools
import multiprocessing as mp
import os

import pytest

import kelparine

_counter = itertools.count()


def unique_name(stem="t"):
    return f"/kelparine-test-{os.getpid()}-{stem}-{next(_counter)}"


def remove_quietly(name):
    try:
        kelparine.SharedMemory.remove(name)
    except OSError:
        pass


@pytest.fixture
def seg_name():
    """A fresh segment name; whatever was created under it is removed afterwards."""
    name = unique_name()
    yield name
    remove_quietly(name)


@pytest.fixture
def make_segment():
    """make_segment(size) -> (name, SharedMemory created with that size); all removed afterwards."""
    names = []

    def make(size):
        name = unique_name("seg")
        names.append(name)
        return name, kelparine.SharedMemory.create(name, size)

    yield make
    for name in names:
        remove_quietly(name)


@pytest.fixture(params=["fork", "spawn"])
def mp_context(request):
    """Both ways of starting a child process: fork inherits the parent, spawn starts afresh."""
    return mp.get_context(request.param)


def take_reusable_heap():
    """For a forked child under an address-space limit: takes the free heap it inherited (and
    its headroom) so that only a new, large allocation can fail. A fork inherits its parent's
    malloc arenas, whose reserved but unused space malloc grows into without any new address
    space. Returns the hoard to drop once the limit is lifted; a little is left free for the
    interpreter itself."""
    hoard, size = [], 32 << 20
    while size >= 64 << 10:
        try:
            hoard.append(bytearray(size))
        except MemoryError:
            size //= 2
    del hoard[-8:]
    return hoard


def shm_path(name):
    """Where Linux keeps a segment: tests poke header bytes through plain mmap of this file."""
    return "/dev/shm" + name


@pytest.fixture(autouse=True)
def reap_children(request):
    """No test leaves a child behind: one still waiting for a lock would spin on a core for
    the rest of the run, and multiprocessing would wait for it at exit."""
    yield
    leftovers = mp.active_children()
    for child in leftovers:
        child.kill()
        child.join(10)
    assert not leftovers, f"{request.node.name} left child processes running: {leftovers}"
