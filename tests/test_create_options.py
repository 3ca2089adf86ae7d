"""create()'s options: `mode` (exact permission bits for a new segment, a guard on reuse) and
`exclusive` (refuse an existing name), including across two user ids."""

import errno
import fcntl
import multiprocessing
import os
import stat

import pytest

import kelparine
from conftest import remove_quietly, shm_path, unique_name

SM = kelparine.SharedMemory
NOBODY = 65534


def mode_of(name):
    return stat.S_IMODE(os.stat(shm_path(name)).st_mode)


@pytest.fixture
def umask():
    old = os.umask(0o077)  # would take every bit from group and others
    yield
    os.umask(old)


@pytest.mark.parametrize("mode", [0o600, 0o644, 0o666, 0o000, 0o1750])
def test_mode_of_a_new_segment_is_exact_whatever_the_umask(seg_name, umask, mode):
    shm = SM.create(seg_name, 64, mode)
    assert mode_of(seg_name) == mode
    assert shm.size() == 64 and os.stat(shm_path(seg_name)).st_size == 64


@pytest.mark.parametrize(
    "existing, asked, reused",
    [(0o600, 0o600, True), (0o600, 0o644, True), (0o640, 0o660, True), (0o644, 0o600, False),
     (0o660, 0o606, False), (0o4600, 0o600, False)],
)
def test_reuse_with_a_mode_only_of_a_segment_granting_no_more(seg_name, existing, asked, reused):
    SM.create(seg_name, 4096, existing).map().write(b"kept")
    if reused:
        assert SM.create(seg_name, 8192, asked).size() == 8192
    else:
        with pytest.raises(PermissionError) as info:
            SM.create(seg_name, 8192, mode=asked)
        assert info.value.errno == errno.EACCES
        assert str(info.value) == (
            f"EACCES: Permission denied: '{seg_name}' is owned by uid {os.geteuid()} with mode {oct(existing)}; "
            f"create(mode={oct(asked)}) reuses only a segment of its own user (uid {os.geteuid()}) whose mode "
            "grants no more than that")
    # Reuse never changes the mode; a refused one changes nothing at all.
    assert mode_of(seg_name) == existing
    assert os.stat(shm_path(seg_name)).st_size == (8192 if reused else 4096)
    assert SM.open(seg_name).map().read_range(0, 4) == b"kept"


@pytest.mark.parametrize(
    "mode, exc, message",
    [
        (-1, ValueError, "mode must be between 0 and 0o7777, not -0o1"),
        (0o10000, ValueError, "mode must be between 0 and 0o7777, not 0o10000"),
        (2**69, ValueError, "mode must be between 0 and 0o7777, not 0o1" + "0" * 23),
        ("0o600", TypeError, "'mode' must be an int or None, not 'str'"),
        (0.5, TypeError, "'mode' must be an int or None, not 'float'"),
    ],
)
def test_bad_modes_are_refused_before_anything_is_made(seg_name, mode, exc, message):
    with pytest.raises(exc) as info:
        SM.create(seg_name, 64, mode)
    assert type(info.value) is exc and str(info.value) == message
    assert not os.path.exists(shm_path(seg_name))


def test_default_mode_is_unchanged(seg_name, umask):
    SM.create(seg_name, 64, None)
    assert mode_of(seg_name) == 0o600  # 0o666 less the umask 0o077


def test_exclusive_create_refuses_an_existing_name_and_changes_nothing(make_segment):
    name, shm = make_segment(4096)
    shm.map().write(b"kept")
    mode = mode_of(name)
    # A sizing lock held elsewhere would keep an ordinary create waiting; an exclusive one
    # never takes it.
    holder = os.open(shm_path(name), os.O_RDONLY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX)
        for exclusive in (True, 1):
            with pytest.raises(FileExistsError) as info:
                SM.create(name, 8192, 0o600, exclusive=exclusive)
            assert info.value.args == ("EEXIST: File exists",) and info.value.errno == errno.EEXIST
    finally:
        os.close(holder)
    assert (os.stat(shm_path(name)).st_size, mode_of(name)) == (4096, mode)
    assert SM.open(name).map().read_range(0, 4) == b"kept"


def test_exclusive_create_of_a_new_name(seg_name):
    shm = SM.create(seg_name, 64, exclusive=True)
    assert repr(shm) == f"SharedMemory(name='{seg_name}', size=64, role=creator)"
    assert SM.create(seg_name, 64, exclusive=False).size() == 64


def test_exclusive_is_keyword_only(seg_name):
    with pytest.raises(TypeError, match=r"^create\(\) takes at most 3 positional arguments \(4 given\)$"):
        SM.create(seg_name, 64, None, True)
    assert not os.path.exists(shm_path(seg_name))


# ---------------------------------------------------------------------------------------------
# Two users: this process (root) and a forked child that has become nobody


def _as_nobody(action, name, conn):
    try:
        os.setgid(NOBODY)
        os.setuid(NOBODY)
        conn.send(action(name))
    except OSError as error:
        conn.send((type(error).__name__, error.errno))


def _create_private(name):
    SM.create(name, 64, 0o600)
    return "created"


def _open_and_write(name):
    SM.open(name).map().write(b"nobody was here")
    return "written"


def _run_as_nobody(action, name):
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=_as_nobody, args=(action, name, send))
    child.start()
    try:
        assert receive.poll(30), "the child sent nothing"
        return receive.recv()
    finally:
        child.join(30)


@pytest.fixture
def two_users():
    if os.geteuid() != 0:
        pytest.skip("needs root, to become another user in a child")


def test_private_segments_across_two_users(two_users, make_segment, seg_name):
    # nobody's private segment: root may not reuse it as its own private one, and a plain
    # create leaves its mode and owner alone.
    assert _run_as_nobody(_create_private, seg_name) == "created"
    info = os.stat(shm_path(seg_name))
    assert (info.st_uid, stat.S_IMODE(info.st_mode)) == (NOBODY, 0o600)
    with pytest.raises(PermissionError, match=rf"is owned by uid {NOBODY} with mode 0o600; "):
        SM.create(seg_name, 64, 0o600)
    SM.create(seg_name, 128)
    info = os.stat(shm_path(seg_name))
    assert (info.st_uid, stat.S_IMODE(info.st_mode), info.st_size) == (NOBODY, 0o600, 128)

    # root's segments: a private one is closed to nobody; one made with 0o666 is open to it,
    # whatever root's umask.
    private, _ = make_segment(64)
    os.chmod(shm_path(private), 0o600)
    assert _run_as_nobody(_open_and_write, private) == ("PermissionError", errno.EACCES)
    shared = unique_name("shared")
    old = os.umask(0o022)
    try:
        shm = SM.create(shared, 64, 0o666)
        os.umask(old)
        assert _run_as_nobody(_open_and_write, shared) == "written"
        assert shm.map().read_range(0, 15) == b"nobody was here"
    finally:
        os.umask(old)
        remove_quietly(shared)
