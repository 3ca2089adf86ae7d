"""How failures reach Python: exactly one exception carrying only the message (an OS failure as
the OSError subclass for its errno, with .errno set), with fixed English texts that do not depend
on the locale."""

import errno
import json
import os
import shutil
import subprocess
import sys

import pytest

import kelparine
from conftest import shm_path, unique_name

SharedMemory = kelparine.SharedMemory

MISSING = "/kelparine-test-never-created"


@pytest.fixture
def directory_entry():
    """A name under which the shared-memory file system holds a directory, not a segment."""
    name = unique_name("dir")
    os.mkdir(shm_path(name))
    yield name
    os.rmdir(shm_path(name))


@pytest.fixture
def symlink_entry(make_segment):
    """A name that is a symbolic link to a real segment: shm_open refuses to follow it."""
    target, _ = make_segment(64)
    name = unique_name("link")
    os.symlink(shm_path(target), shm_path(name))
    yield name
    if os.path.lexists(shm_path(name)):
        os.unlink(shm_path(name))


OS_FAILURES = [
    ("open-missing", lambda: SharedMemory.open(MISSING), FileNotFoundError, "ENOENT: No such file or directory"),
    ("open-missing-with-size", lambda: SharedMemory.open(MISSING, size=10), FileNotFoundError,
     "ENOENT: No such file or directory"),
    ("remove-missing", lambda: SharedMemory.remove(MISSING), FileNotFoundError, "ENOENT: No such file or directory"),
    ("create-huge", lambda: SharedMemory.create(MISSING, 2**63), OSError, "EINVAL: Invalid argument"),
    ("create-inner-slash", lambda: SharedMemory.create("/a/b", 10), OSError, "EINVAL: Invalid argument"),
    ("open-inner-slash", lambda: SharedMemory.open("/a/b"), OSError, "EINVAL: Invalid argument"),
]


@pytest.mark.parametrize("call, cls, message", [c[1:] for c in OS_FAILURES], ids=[c[0] for c in OS_FAILURES])
def test_os_failure_is_the_errno_class_with_the_message_alone(call, cls, message):
    with pytest.raises(OSError) as info:
        call()
    exc = info.value
    # The class Python picks for the errno, with errno set; args and str() stay the message
    # alone (no "[Errno n]" in front, no strerror or filename).
    assert type(exc) is cls
    assert exc.args == (message,)
    assert str(exc) == message
    assert exc.errno == getattr(errno, message.split(":")[0])
    assert exc.strerror is None
    assert exc.filename is None and exc.filename2 is None
    assert exc.__cause__ is None and exc.__context__ is None
    assert not os.path.exists(shm_path(MISSING))


# Every errno the module can meet maps to the class OSError(errno, ...) would have.
@pytest.mark.parametrize("number, cls", [
    (errno.ENOENT, FileNotFoundError), (errno.EEXIST, FileExistsError), (errno.EACCES, PermissionError),
    (errno.EPERM, PermissionError), (errno.EISDIR, IsADirectoryError), (errno.ENOTDIR, NotADirectoryError),
    (errno.EINTR, InterruptedError), (errno.EAGAIN, BlockingIOError), (errno.ETIMEDOUT, TimeoutError),
    (errno.ENOSPC, OSError), (errno.ENOMEM, OSError), (errno.EINVAL, OSError), (errno.ELOOP, OSError),
])
def test_errno_to_exception_class_follows_python(number, cls):
    assert type(OSError(number, "")) is cls  # the table above agrees with the interpreter


def test_errno_text_of_a_symlink(symlink_entry):
    # A row where the kernel's wording differs from the C library's ("Too many levels of
    # symbolic links"): the module's own text must be used.
    for call in (lambda: SharedMemory.open(symlink_entry), lambda: SharedMemory.create(symlink_entry, 64)):
        with pytest.raises(OSError) as info:
            call()
        assert type(info.value) is OSError and info.value.errno == errno.ELOOP
        assert info.value.args == ("ELOOP: Too many symbolic links encountered",)


def test_errno_text_of_removing_a_directory(directory_entry):
    with pytest.raises(OSError) as info:
        SharedMemory.remove(directory_entry)
    assert info.value.args == ("EISDIR: Is a directory",)
    assert os.path.isdir(shm_path(directory_entry))


@pytest.mark.parametrize("which", ["create", "open"])
def test_a_directory_is_not_a_segment(directory_entry, which):
    # The exact errno is the system's; the create path must give up rather than loop or
    # replace the entry.
    with pytest.raises(OSError) as info:
        SharedMemory.create(directory_entry, 64) if which == "create" else SharedMemory.open(directory_entry)
    assert type(info.value) is type(OSError(info.value.errno, ""))
    assert os.path.isdir(shm_path(directory_entry))


NAME_ERRORS = [
    ("", "name must start with '/' (e.g. \"/my_segment\")"),
    ("seg", "name must start with '/' (e.g. \"/my_segment\")"),
    ("\x00/seg", "name must start with '/' (e.g. \"/my_segment\")"),
    (" /seg", "name must start with '/' (e.g. \"/my_segment\")"),
    ("/", "name must have at least one character after '/'"),
]
NAME_CALLS = {
    "create": lambda n: SharedMemory.create(n, 10),
    "open": lambda n: SharedMemory.open(n),
    "open-size": lambda n: SharedMemory.open(n, size=10),
    "remove": lambda n: SharedMemory.remove(n),
}


@pytest.mark.parametrize("name, message", NAME_ERRORS)
@pytest.mark.parametrize("call", NAME_CALLS.values(), ids=NAME_CALLS.keys())
def test_rejected_name_is_a_plain_valueerror(call, name, message):
    with pytest.raises(ValueError) as info:
        call(name)
    assert type(info.value) is ValueError
    assert info.value.args == (message,)
    assert info.value.__cause__ is None and info.value.__context__ is None


@pytest.mark.parametrize("call", NAME_CALLS.values(), ids=NAME_CALLS.keys())
def test_except_oserror_does_not_catch_a_rejected_name(call):
    caught = None
    try:
        try:
            call("seg")
        except OSError as exc:  # must not match
            caught = ("OSError", exc)
    except ValueError as exc:
        caught = ("ValueError", exc)
    assert caught is not None and caught[0] == "ValueError"


@pytest.mark.parametrize("name", ["/\x00", "/a\x00b", "/a\x00", "/" + "a" * 300 + "\x00b"],
                         ids=["nul-only", "inner", "trailing", "long"])
@pytest.mark.parametrize("call", NAME_CALLS.values(), ids=NAME_CALLS.keys())
def test_nul_in_name_is_einval(call, name):
    # The name passes the module's own rule; a C string cannot hold it, so it never reaches the
    # system (which would otherwise see "/a" and act on a different segment).
    with pytest.raises(OSError) as info:
        call(name)
    assert type(info.value) is OSError
    assert info.value.args == ("EINVAL: Invalid argument",)


def test_nul_name_does_not_touch_the_shortened_name(make_segment):
    prefix, shm = make_segment(64)
    for call in NAME_CALLS.values():
        with pytest.raises(OSError):
            call(prefix + "\x00tail")
    assert os.path.exists(shm_path(prefix))
    assert os.stat(shm_path(prefix)).st_size == 64


# --- locale independence -----------------------------------------------------------------

CHILD = r"""
import json, locale, os, sys
import kelparine
try:
    locale.setlocale(locale.LC_ALL, "")
except locale.Error:
    pass  # a locale this system lacks: the C library stays in "C"
messages = []
for call in (
    lambda: kelparine.SharedMemory.open(sys.argv[1]),
    lambda: kelparine.SharedMemory.remove(sys.argv[1]),
    lambda: kelparine.SharedMemory.create(sys.argv[1], 2**63),
    lambda: kelparine.SharedMemory.open("seg"),
    lambda: kelparine.SharedMemory.create("/x", 0),
):
    try:
        call()
    except Exception as exc:
        messages.append([type(exc).__name__, str(exc)])
print(json.dumps({"messages": messages, "strerror": os.strerror(2)}))
"""

EXPECTED_MESSAGES = [
    ["FileNotFoundError", "ENOENT: No such file or directory"],
    ["FileNotFoundError", "ENOENT: No such file or directory"],
    ["OSError", "EINVAL: Invalid argument"],
    ["ValueError", "name must start with '/' (e.g. \"/my_segment\")"],
    ["ValueError", "size must be > 0"],
]


@pytest.fixture(scope="session")
def german_locale(tmp_path_factory):
    """A private de_DE.UTF-8 locale (LOCPATH), so the C library really speaks another language;
    None when it cannot be built here."""
    if shutil.which("localedef") is None:
        return None
    where = tmp_path_factory.mktemp("locales")
    done = subprocess.run(
        ["localedef", "-i", "de_DE", "-f", "UTF-8", str(where / "de_DE.UTF-8")],
        capture_output=True,
        timeout=60,
    )
    if done.returncode not in (0, 1) or not (where / "de_DE.UTF-8").exists():
        return None
    return {"LOCPATH": str(where), "LC_ALL": "de_DE.UTF-8"}


def run_child(env_changes):
    env = {k: v for k, v in os.environ.items() if not k.startswith("LC_") and k not in ("LANG", "LANGUAGE")}
    env.update(env_changes)
    env["PYTHONPATH"] = os.path.dirname(kelparine.__file__)
    out = subprocess.run(
        [sys.executable, "-c", CHILD, unique_name("locale")], env=env, capture_output=True, text=True, timeout=30
    )
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


def test_messages_do_not_depend_on_the_locale(german_locale):
    variants = [{"LC_ALL": "C"}, {"LC_ALL": "C.UTF-8"}, {"LANG": "de_DE.UTF-8", "LANGUAGE": "de"}]
    if german_locale is not None:
        variants.append(german_locale)
    results = [run_child(v) for v in variants]
    for result in results:
        assert result["messages"] == EXPECTED_MESSAGES
    if german_locale is not None:
        # The locale really took effect in the C library, so the comparison means something.
        assert results[-1]["strerror"] != results[0]["strerror"]
