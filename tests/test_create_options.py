"""create()'s `mode` (exact bits for a new segment, a guard on reuse) and `exclusive`, also
across two user ids. Bad values are rows of README's bad-input table."""

import errno
import fcntl
import multiprocessing
import os
import stat

import pytest

import kelparine
from conftest import shm_path

SM = kelparine.SharedMemory
NOBODY = 65534


def owner_and_mode(name):
    info = os.stat(shm_path(name))
    return info.st_uid, stat.S_IMODE(info.st_mode)


@pytest.mark.parametrize("mode", [0o600, 0o666, 0o000, 0o1750])
def test_mode_of_a_new_segment_is_exact_whatever_the_umask(seg_name, mode):
    old = os.umask(0o077)
    try:
        SM.create(seg_name, 64, mode)
    finally:
        os.umask(old)
    assert owner_and_mode(seg_name) == (os.geteuid(), mode)


@pytest.mark.parametrize("existing, asked, reused", [(0o600, 0o600, True), (0o600, 0o644, True),
                                                     (0o644, 0o600, False), (0o4600, 0o600, False)])
def test_reuse_with_a_mode_only_of_a_segment_granting_no_more(seg_name, existing, asked, reused):
    SM.create(seg_name, 4096, existing).map().write(b"kept")
    try:
        SM.create(seg_name, 8192, mode=asked)
    except PermissionError as error:
        assert not reused and error.errno == errno.EACCES
        assert str(error).startswith(f"EACCES: Permission denied: '{seg_name}' is owned by uid {os.geteuid()} with "
                                     f"mode {oct(existing)}; create(mode={oct(asked)}) reuses only")
    # Reuse never changes the mode; a refusal changes nothing at all.
    assert owner_and_mode(seg_name)[1] == existing
    assert os.stat(shm_path(seg_name)).st_size == (8192 if reused else 4096)
    assert SM.open(seg_name).map().read_range(0, 4) == b"kept"


def test_exclusive_create_refuses_an_existing_name_without_waiting_or_changing_it(make_segment):
    name, shm = make_segment(4096)
    shm.map().write(b"kept")
    before = owner_and_mode(name)
    holder = os.open(shm_path(name), os.O_RDONLY)
    try:
        fcntl.flock(holder, fcntl.LOCK_EX)  # an ordinary create would wait for this sizing lock
        with pytest.raises(FileExistsError) as info:
            SM.create(name, 8192, 0o600, exclusive=True)
        assert info.value.args == ("EEXIST: File exists",) and info.value.errno == errno.EEXIST
    finally:
        os.close(holder)
    assert owner_and_mode(name) == before and os.stat(shm_path(name)).st_size == 4096
    assert SM.open(name).map().read_range(0, 4) == b"kept"


def _as_nobody(action, name, conn):
    os.setgid(NOBODY)
    os.setuid(NOBODY)
    try:
        if action == "create":
            SM.create(name, 64, 0o600)
        else:
            SM.open(name).map().write(b"nobody")
        conn.send("ok")
    except OSError as error:
        conn.send(type(error).__name__)


def as_nobody(action, name):
    context = multiprocessing.get_context("fork")
    receive, send = context.Pipe(duplex=False)
    child = context.Process(target=_as_nobody, args=(action, name, send))
    child.start()
    child.join(30)
    return receive.recv() if receive.poll(0) else f"exit {child.exitcode}"


def test_private_segments_across_two_users(make_segment, seg_name):
    if os.geteuid() != 0:
        pytest.skip("needs root, to become another user in a child")
    # nobody's private segment: root may not take it as its own private one, and a plain
    # create reuses it without touching its owner or mode.
    assert as_nobody("create", seg_name) == "ok"
    with pytest.raises(PermissionError, match=rf"is owned by uid {NOBODY} with mode 0o600; "):
        SM.create(seg_name, 64, 0o600)
    SM.create(seg_name, 128)
    assert owner_and_mode(seg_name) == (NOBODY, 0o600)
    # root's segments: 0o600 keeps nobody out, 0o666 lets it in whatever root's umask.
    private, shared = make_segment(1)[0], make_segment(1)[0]  # names the fixture cleans up
    for name in (private, shared):
        SM.remove(name)
    SM.create(private, 64, 0o600)
    old = os.umask(0o022)
    try:
        SM.create(shared, 64, 0o666)
    finally:
        os.umask(old)
    assert (as_nobody("write", private), as_nobody("write", shared)) == ("PermissionError", "ok")
    assert SM.open(shared).map().read_range(0, 6) == b"nobody"
