"""SharedMemory: creating, opening and removing named segments, the handle's size and repr,
the size checks of map() and spsc(), what a failed call leaves behind, resource ownership, and
segments shared between real processes."""

import gc
import os
import stat

import pytest

import kelparine
from conftest import remove_quietly, shm_path, unique_name

SharedMemory = kelparine.SharedMemory

ENOENT = "ENOENT: No such file or directory"
EINVAL = "EINVAL: Invalid argument"
RWLOCK_ERROR = "segment size must be > 4 bytes (rwlock header)"
SPSC_ERROR = "map_size must be > 24 bytes (spsc header)"


def file_bytes(name):
    with open(shm_path(name), "rb") as f:
        return f.read()


def poke(name, offset, data):
    with open(shm_path(name), "r+b") as f:
        f.seek(offset)
        f.write(data)


def open_fds():
    # Collect first: an earlier test's handle dying in a cycle would close a descriptor
    # in the middle of a measurement.
    gc.collect()
    return len(os.listdir("/proc/self/fd"))


def mappings_of(name):
    """How many mappings of this segment the process has (also after its name is removed)."""
    paths = {shm_path(name), shm_path(name) + " (deleted)"}
    with open("/proc/self/maps") as f:
        return sum(1 for line in f if " ".join(line.split()[5:]) in paths)


@pytest.fixture
def size_zero_segment(seg_name):
    """A segment that exists but was never sized, as a peer between shm_open and ftruncate leaves it."""
    os.close(os.open(shm_path(seg_name), os.O_CREAT | os.O_RDWR, 0o600))
    return seg_name


# --- create ------------------------------------------------------------------------------


def test_create_makes_a_zeroed_segment_of_the_size(seg_name):
    shm = SharedMemory.create(seg_name, 4096)
    assert shm.size() == 4096
    assert type(shm.size()) is int
    assert shm.name() == seg_name
    assert repr(shm) == f"SharedMemory(name='{seg_name}', size=4096, role=creator)"
    assert os.stat(shm_path(seg_name)).st_size == 4096
    assert file_bytes(seg_name) == bytes(4096)


@pytest.mark.parametrize("mask", [0o022, 0o077, 0o000])
def test_create_mode_is_0666_less_the_umask(seg_name, mask):
    old = os.umask(mask)
    try:
        SharedMemory.create(seg_name, 64)
    finally:
        os.umask(old)
    assert stat.S_IMODE(os.stat(shm_path(seg_name)).st_mode) == 0o666 & ~mask


def test_create_reserves_the_memory(seg_name, make_segment):
    # Reserved up front, not left sparse: touching an unreserved page when the memory is gone
    # would kill the process with SIGBUS instead of failing the create.
    size = 1 << 20
    SharedMemory.create(seg_name, size)
    assert os.stat(shm_path(seg_name)).st_blocks * 512 >= size
    # and likewise the part a create on an existing segment adds
    name, _ = make_segment(4096)
    SharedMemory.create(name, size)
    assert os.stat(shm_path(name)).st_blocks * 512 >= size


@pytest.mark.parametrize(
    "stem", ["/seg-\u00e9\u4e2d", "/it's", "/a b", "/" + "x" * 200, "/\"q\""],
    ids=["non-ascii", "quote", "blank", "long", "double-quotes"],
)
def test_name_is_kept_exactly(stem):
    name = stem + unique_name("n").replace("/", "-")
    try:
        shm = SharedMemory.create(name, 8)
        assert shm.name() == name
        assert SharedMemory.open(name).name() == name
        # inserted unchanged: no escaping beyond the surrounding single quotes
        assert repr(shm) == "SharedMemory(name='" + name + "', size=8, role=creator)"
    finally:
        remove_quietly(name)


@pytest.mark.parametrize("name", ["/kelparine-test-never-made", "x", "", "/"])
def test_create_size_zero_is_checked_before_the_name(name):
    with pytest.raises(ValueError) as info:
        SharedMemory.create(name, 0)
    assert info.value.args == ("size must be > 0",)
    assert not os.path.exists(shm_path("/kelparine-test-never-made"))


def test_create_on_an_existing_smaller_segment_grows_it_and_keeps_the_data(make_segment):
    name, first = make_segment(4096)
    view = first.map()
    view.write(b"kept" * 10, 100)

    second = SharedMemory.create(name, 8192)
    assert second.size() == 8192
    assert repr(second) == f"SharedMemory(name='{name}', size=8192, role=creator)"
    data = file_bytes(name)
    assert len(data) == 8192
    assert data[104:144] == b"kept" * 10
    assert data[4096:] == bytes(4096)
    # every later opener sees the new size; the earlier handle keeps what it recorded
    assert SharedMemory.open(name).size() == 8192
    assert first.size() == 4096
    assert view.read_range(100, 40) == b"kept" * 10


def test_create_on_an_existing_larger_segment_does_not_shrink_it(make_segment):
    # A peer may have the whole segment mapped: cutting it would make its accesses past the
    # new end fault. The new handle still works with the size it asked for.
    name, big = make_segment(8192)
    early = big.map()
    early.write(b"tail", 8192 - 4 - 4)

    small = SharedMemory.create(name, 4096)
    assert small.size() == 4096
    assert repr(small) == f"SharedMemory(name='{name}', size=4096, role=creator)"
    assert os.stat(shm_path(name)).st_size == 8192
    assert early.read_range(8192 - 8, 4) == b"tail"
    assert file_bytes(name)[-4:] == b"tail"
    assert small.map().size() == 4096 - 4
    assert SharedMemory.open(name).size() == 8192


@pytest.mark.parametrize("size", [2**63, 2**63 + 4096, 2**64 - 1])
def test_create_beyond_the_largest_length_leaves_no_segment(seg_name, size):
    fds = open_fds()
    with pytest.raises(OSError) as info:
        SharedMemory.create(seg_name, size)
    assert type(info.value) is OSError
    assert info.value.args == (EINVAL,)
    assert not os.path.exists(shm_path(seg_name))
    assert open_fds() == fds


@pytest.mark.parametrize("size", [2**63, 2**64 - 1])
def test_failed_create_spares_a_segment_that_existed(make_segment, size):
    # The clean-up after a failed sizing must only remove what this call made: here the
    # segment, its size and its bytes belong to someone else.
    name, shm = make_segment(4096)
    view = shm.map()
    view.write(b"precious", 0)
    fds = open_fds()
    with pytest.raises(OSError) as info:
        SharedMemory.create(name, size)
    assert info.value.args == (EINVAL,)
    assert open_fds() == fds
    assert os.stat(shm_path(name)).st_size == 4096
    assert file_bytes(name)[4:12] == b"precious"
    assert SharedMemory.open(name).map().read_range(0, 8) == b"precious"


# --- open --------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "call",
    [
        lambda n: SharedMemory.open(n),
        lambda n: SharedMemory.open(n, None),
        lambda n: SharedMemory.open(n, size=None),
        lambda n: SharedMemory.open(n, size=123),
        lambda n: SharedMemory.open(n, 123),
        lambda n: SharedMemory.open(n, size=0),
        lambda n: SharedMemory.open(n, size=2**64 - 1),
        lambda n: SharedMemory.open(name=n, size=8192),
    ],
    ids=["omitted", "none-positional", "none", "smaller", "positional", "zero", "max", "larger"],
)
def test_open_takes_the_size_from_the_system(make_segment, call):
    name, _ = make_segment(4096)
    shm = call(name)
    assert shm.size() == 4096
    assert repr(shm) == f"SharedMemory(name='{name}', size=4096, role=opener)"
    assert os.stat(shm_path(name)).st_size == 4096


@pytest.mark.parametrize("size, exc", [(-1, OverflowError), (2**64, OverflowError), ("a", TypeError),
                                       (1.0, TypeError), (b"1", TypeError)])
def test_open_still_rejects_a_bad_size(make_segment, size, exc):
    name, _ = make_segment(4096)
    with pytest.raises(exc):
        SharedMemory.open(name, size=size)


def test_open_missing(seg_name):
    with pytest.raises(OSError) as info:
        SharedMemory.open(seg_name)
    assert info.value.args == (ENOENT,)
    assert not os.path.exists(shm_path(seg_name))  # open never creates


def test_open_a_segment_that_was_never_sized(size_zero_segment):
    shm = SharedMemory.open(size_zero_segment)
    assert shm.size() == 0
    assert repr(shm) == f"SharedMemory(name='{size_zero_segment}', size=0, role=opener)"


def test_opener_size_is_not_refreshed(make_segment):
    name, _ = make_segment(4096)
    opener = SharedMemory.open(name)
    SharedMemory.create(name, 8192)
    assert opener.size() == 4096
    assert SharedMemory.open(name).size() == 8192


# --- remove ------------------------------------------------------------------------------


def test_remove_twice(make_segment):
    name, _ = make_segment(64)
    assert SharedMemory.remove(name) is None
    assert not os.path.exists(shm_path(name))
    with pytest.raises(OSError) as info:
        SharedMemory.remove(name)
    assert type(info.value) is FileNotFoundError
    assert info.value.args == (ENOENT,)
    with pytest.raises(OSError) as info:
        SharedMemory.open(name)
    assert info.value.args == (ENOENT,)


def test_create_after_remove_makes_a_separate_segment(make_segment):
    name, old = make_segment(64)
    old_view = old.map()
    old_view.write(b"old", 0)
    SharedMemory.remove(name)
    new_view = SharedMemory.create(name, 64).map()
    assert new_view.read_range(0, 3) == bytes(3)
    new_view.write(b"new", 0)
    assert old_view.read_range(0, 3) == b"old"


# --- map() and spsc() size checks -------------------------------------------------------


@pytest.mark.parametrize("size", [1, 2, 3, 4])
def test_map_needs_more_than_the_lock_word(make_segment, size):
    name, shm = make_segment(size)
    with pytest.raises(ValueError) as info:
        shm.map()
    assert type(info.value) is ValueError
    assert info.value.args == (RWLOCK_ERROR,)
    assert mappings_of(name) == 0


def test_map_of_five_bytes_has_a_one_byte_data_area(make_segment):
    _, shm = make_segment(5)
    view = shm.map()
    assert view.size() == 1
    view.write(b"z", 0)
    assert view.read_all() == b"z"


@pytest.mark.parametrize("which, message", [("map", RWLOCK_ERROR), ("spsc", SPSC_ERROR)])
def test_views_of_a_never_sized_segment(size_zero_segment, which, message):
    # A size error, not an OS error from mapping zero bytes.
    shm = SharedMemory.open(size_zero_segment)
    with pytest.raises(ValueError) as info:
        getattr(shm, which)()
    assert info.value.args == (message,)


@pytest.mark.parametrize("size", [1, 4, 23, 24])
@pytest.mark.parametrize("role", ["creator", "opener"])
def test_spsc_needs_more_than_the_header(make_segment, size, role):
    name, shm = make_segment(size)
    if role == "opener":
        shm = SharedMemory.open(name)
    with pytest.raises(ValueError) as info:
        shm.spsc()
    assert info.value.args == (SPSC_ERROR,)
    assert mappings_of(name) == 0


@pytest.mark.parametrize(
    "size, message",
    [
        (4096, "data capacity (4072) must be a power of two; try 2048 or 4096"),
        (24 + 3, "data capacity (3) must be a power of two; try 2 or 4"),
        (24 + 100, "data capacity (100) must be a power of two; try 64 or 128"),
        (24 + 65537, "data capacity (65537) must be a power of two; try 65536 or 131072"),
    ],
)
def test_spsc_creator_needs_a_power_of_two_capacity(make_segment, size, message):
    name, shm = make_segment(size)
    header = bytes(range(1, 25))
    poke(name, 0, header)
    with pytest.raises(ValueError) as info:
        shm.spsc()
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert mappings_of(name) == 0  # the mapping made for the check is released again
    assert file_bytes(name)[:24] == header  # and the header was not written


@pytest.mark.parametrize("size, capacity", [(25, 1), (26, 2), (4120, 4096)])
def test_spsc_creator_sizes_that_fit(make_segment, size, capacity):
    _, shm = make_segment(size)
    assert shm.spsc().capacity() == capacity


def test_spsc_opener_makes_no_power_of_two_check(make_segment):
    name, _ = make_segment(4096)
    header = (64).to_bytes(8, "little") * 2 + (4072).to_bytes(8, "little")
    poke(name, 0, header)
    SharedMemory.open(name).spsc()
    assert file_bytes(name)[:24] == header


# --- ownership and lifetime --------------------------------------------------------------


def test_handles_own_one_descriptor_each(make_segment):
    name, shm = make_segment(4096)
    base = open_fds()
    handles = [SharedMemory.open(name) for _ in range(5)] + [SharedMemory.create(name, 4096)]
    assert open_fds() == base + 6
    views = [h.map() for h in handles]  # a mapping holds no descriptor
    assert open_fds() == base + 6
    del handles
    assert open_fds() == base
    del shm
    assert open_fds() == base - 1
    assert os.path.exists(shm_path(name))  # closing the descriptor never removes the segment
    assert len(views) == 6


@pytest.mark.parametrize(
    "failing",
    [
        lambda n: SharedMemory.open(n + "-missing"),
        lambda n: SharedMemory.create(n + "-huge", 2**63),
        lambda n: SharedMemory.create(n, 2**63),
        lambda n: SharedMemory.open(n).map(),
        lambda n: SharedMemory.open(n).spsc(),
        lambda n: SharedMemory.create(n, 3).spsc(),
        lambda n: SharedMemory.remove(n + "-missing"),
    ],
    ids=["open", "create-new", "create-existing", "map", "spsc", "spsc-creator", "remove"],
)
def test_failed_calls_leave_no_descriptor_or_mapping(make_segment, failing):
    name, _ = make_segment(3)
    fds = open_fds()
    with pytest.raises((OSError, ValueError)):
        failing(name)
    assert open_fds() == fds
    assert mappings_of(name) == 0
    assert not os.path.exists(shm_path(name + "-huge"))


def test_each_map_is_a_fresh_mapping(make_segment):
    name, shm = make_segment(4096)
    first, second = shm.map(), shm.map()
    assert mappings_of(name) == 2
    first.write(b"abc", 10)
    assert second.read_range(10, 3) == b"abc"
    del first
    assert mappings_of(name) == 1


def test_views_outlive_the_handle_and_the_name(make_segment):
    name, shm = make_segment(4096)
    view = shm.map()
    ring = SharedMemory.create(unique_name("ring"), 4120)
    ring_name = ring.name()
    try:
        queue = ring.spsc()
        del shm, ring
        view.write(b"after del", 0)
        assert queue.push(b"after del")

        SharedMemory.remove(name)
        SharedMemory.remove(ring_name)
        with pytest.raises(OSError):  # the names are gone, the memory is not
            SharedMemory.open(name)
        assert view.read_range(0, 9) == b"after del"
        assert queue.pop() == b"after del"
        assert mappings_of(name) == 1  # listed as "(deleted)"
    finally:
        remove_quietly(ring_name)


def test_views_of_a_removed_segment_still_share_memory(make_segment):
    name, shm = make_segment(4096)
    a, b = shm.map(), SharedMemory.open(name).map()
    SharedMemory.remove(name)
    a.write(b"shared", 100)
    assert b.read_range(100, 6) == b"shared"


# --- between processes -------------------------------------------------------------------


def child_open_and_read(name, length, conn):
    shm = SharedMemory.open(name)
    conn.send((shm.size(), repr(shm), shm.map().read_range(0, length)))


def child_create_and_write(name, size, data, conn):
    shm = SharedMemory.create(name, size)
    shm.map().write(data, 0)
    conn.send(repr(shm))


def run_child(ctx, target, *args):
    parent, child = ctx.Pipe(duplex=False)
    proc = ctx.Process(target=target, args=(*args, child))
    proc.start()
    child.close()
    try:
        if not parent.poll(30):
            raise AssertionError("child sent nothing")
        result = parent.recv()
    finally:
        proc.join(30)
        if proc.is_alive():
            proc.kill()
            proc.join()
    assert proc.exitcode == 0
    return result


def test_child_opens_what_the_parent_created(make_segment, mp_context):
    name, shm = make_segment(4096)
    shm.map().write(b"from the parent", 0)
    size, text, data = run_child(mp_context, child_open_and_read, name, 15)
    assert size == 4096
    assert text == f"SharedMemory(name='{name}', size=4096, role=opener)"
    assert data == b"from the parent"


def test_segment_outlives_the_process_that_created_it(seg_name, mp_context):
    text = run_child(mp_context, child_create_and_write, seg_name, 4096, b"from the child")
    assert text == f"SharedMemory(name='{seg_name}', size=4096, role=creator)"
    shm = SharedMemory.open(seg_name)
    assert shm.size() == 4096
    assert shm.map().read_range(0, 14) == b"from the child"


def test_two_creators_share_one_segment(make_segment, mp_context):
    # No exclusive creation: a second process's create reuses (and here grows) the segment.
    name, shm = make_segment(4096)
    mine = shm.map()
    mine.write(b"parent", 100)
    run_child(mp_context, child_create_and_write, name, 8192, b"child")
    assert mine.read_range(0, 5) == b"child"
    assert mine.read_range(100, 6) == b"parent"
    assert SharedMemory.open(name).size() == 8192
