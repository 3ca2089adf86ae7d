"""tools/kelparine-inspect reads segments from outside, in plain Python: listing, the lock word of
a view, the header of a ring with its consistency checks, and the guarded clearing of a stale
lock. It is run as a subprocess, as a user would run it, against segments made by kelparine
and then altered byte by byte."""

import json
import mmap
import os
import pathlib
import pty
import re
import runpy
import shutil
import struct
import subprocess
import sys

import pytest

import kelparine
from conftest import remove_quietly, shm_path, unique_name

TOOL = pathlib.Path(__file__).resolve().parent.parent / "tools" / "kelparine-inspect"

# Where /proc may hide processes from the tool (on some hosts even root cannot read pid 1), it
# refuses to clear or remove without --force. Tests of what clearing and removing do pass
# --force, so they run the same everywhere; the refusal has tests of its own.


def run_tool(*args, stdin=subprocess.DEVNULL, input_text=None, timeout=30):
    return subprocess.run(
        [sys.executable, str(TOOL), *args],
        stdin=None if input_text is not None else stdin,
        input=input_text,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def report(*args):
    result = run_tool(*args, "--json")
    assert result.stderr == ""
    return result.returncode, json.loads(result.stdout)


def poke(name, fmt, offset, *values):
    """Writes raw bytes into a segment, as a foreign or broken process could."""
    with open(shm_path(name), "r+b") as file, mmap.mmap(file.fileno(), 0) as mm:
        struct.pack_into(fmt, mm, offset, *values)


def lock_word(name):
    with open(shm_path(name), "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        return struct.unpack_from("<i", mm, 0)[0]


def run_without_kelparine(*args):
    code = (
        f"import sys, runpy; sys.modules['kelparine'] = None; sys.argv = ['kelparine-inspect', *{list(args)!r}];"
        f"runpy.run_path({str(TOOL)!r}, run_name='__main__')"
    )
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=30)


def test_does_not_need_kelparine(make_segment):
    # Only the clearing imports kelparine (for its compare-and-swap), inside that function.
    imports = re.findall(r"^(\s*)(?:import|from)\s+kelparine\b", TOOL.read_text(), re.MULTILINE)
    assert imports == ["        "]
    # With kelparine made unimportable, the tool still lists and decodes segments ...
    result = run_without_kelparine("--json")
    assert result.returncode == 0, result.stderr
    assert isinstance(json.loads(result.stdout), list)
    name, shm = make_segment(4 + 16)
    view = shm.map()
    assert run_without_kelparine(name, "--view").returncode == 0
    # ... and refuses to clear, leaving the word alone.
    poke(name, "<i", 0, 1)
    result = run_without_kelparine(name, "--clear-stale-lock", "--yes", "--force")
    assert result.returncode == 2 and "needs the kelparine module" in result.stderr
    assert view.reader_count() == 1


def test_is_executable_with_help():
    assert os.access(TOOL, os.X_OK)
    result = subprocess.run([str(TOOL), "--help"], capture_output=True, text=True, timeout=30)
    assert result.returncode == 0 and "--clear-stale-lock" in result.stdout


def test_lists_segments_with_their_sizes(make_segment):
    name, _ = make_segment(4 + 1000)
    status, segments = report()
    assert status == 0
    assert {"name": name, "size": 1004} in segments
    text = run_tool().stdout
    assert any(line.split() == [name, "1004"] for line in text.splitlines()), text


@pytest.mark.parametrize(
    "word, state, text, status",
    [
        (0, "unlocked", "unlocked", 0),
        (1, "shared", "held shared by 1 reader", 0),
        (3, "shared", "held shared by 3 readers", 0),
        (-1, "exclusive", "held exclusively by a writer", 0),
        (-2, "invalid", "invalid: -2 is never written", 1),
        (-(2**31), "invalid", "invalid: -2147483648", 1),
    ],
)
def test_view_lock_word_decoded(make_segment, word, state, text, status):
    name, shm = make_segment(4 + 60)
    view = shm.map()
    poke(name, "<i", 0, word)
    code, data = report(name, "--view")
    assert code == status
    assert data["view"]["lock_word"] == word and data["view"]["lock_state"] == state
    assert data["view"]["data_size"] == 60
    # The module reads the same word the same way.
    assert data["view"]["readers"] == view.reader_count()
    assert data["view"]["write_locked"] == view.is_write_locked()
    assert os.getpid() in data["mapped_by"]
    result = run_tool(name, "--view")
    assert result.returncode == status and text in result.stdout


def test_name_without_leading_slash_is_accepted(make_segment):
    name, _ = make_segment(4 + 8)
    code, data = report(name.lstrip("/"), "--view")
    assert code == 0 and data["name"] == name
    # The system ignores extra leading slashes: "//x" is the segment "/x".
    code, data = report("/" + name, "--view")
    assert code == 0 and data["name"] == name


@pytest.mark.parametrize("popped", [0, 1, 3])
def test_ring_header_matches_the_module(make_segment, popped):
    name, shm = make_segment(24 + 64)
    ring = shm.spsc()
    ring.push(bytes(58))  # head and tail to 62: the next frames wrap, one inside its length prefix
    ring.pop()
    for message in (1, "abc", [1, 2.5], b""):
        assert ring.push(message)
    for _ in range(popped):
        ring.pop()
    code, data = report(name, "--ring")
    assert code == 0
    header = data["ring"]
    assert header["consistent"] and header["problems"] == []
    assert (header["capacity"], header["used"], header["free"]) == (ring.capacity(), ring.used(), ring.free())
    assert header["pending_messages"] == 4 - popped
    assert (header["tail"] - header["head"]) == ring.used()
    assert "header consistent" in run_tool(name, "--ring").stdout


def test_ring_counters_near_the_wrap_of_64_bits(make_segment):
    name, shm = make_segment(24 + 16)
    shm.spsc()
    head = 2**64 - 6
    # One 8-byte frame (4 payload bytes) whose end passes 2**64: tail has wrapped to 2.
    poke(name, "<QQ", 0, head, (head + 8) % 2**64)
    data = bytearray(16)
    for i, byte in enumerate(struct.pack("<I", 4) + b"abcd"):
        data[(head + i) % 16] = byte
    poke(name, "16s", 24, bytes(data))
    code, result = report(name, "--ring")
    assert code == 0, result
    assert result["ring"]["used"] == 8 and result["ring"]["pending_messages"] == 1
    ring = kelparine.SharedMemory.open(name).spsc()
    assert ring.pop() == b"abcd"


@pytest.mark.parametrize(
    "header, problem",
    [
        ((0, 0, 48), "capacity 48 is not a power of two"),
        ((0, 0, 128), "capacity 128 exceeds the 64 data bytes"),
        ((0, 0, 0), "capacity is 0"),
        ((10, 5, 64), "tail - head = 18446744073709551611 exceeds the capacity 64"),
        ((0, 80, 64), "tail - head = 80 exceeds the capacity 64"),
    ],
)
def test_ring_header_inconsistencies(make_segment, header, problem):
    name, shm = make_segment(24 + 64)
    shm.spsc()
    poke(name, "<QQQ", 0, *header)
    code, data = report(name, "--ring")
    assert code == 1
    assert not data["ring"]["consistent"]
    assert any(problem in p for p in data["ring"]["problems"]), data["ring"]["problems"]
    result = run_tool(name, "--ring")
    assert result.returncode == 1 and "INCONSISTENT: " + problem in result.stdout


def test_ring_frame_running_past_tail(make_segment):
    name, shm = make_segment(24 + 64)
    ring = shm.spsc()
    ring.push(b"abc")
    poke(name, "<I", 24, 10)  # the length prefix now claims more than was published
    code, data = report(name, "--ring")
    assert code == 1 and data["ring"]["pending_messages"] is None
    assert any("claims 10 bytes" in p for p in data["ring"]["problems"])


@pytest.mark.parametrize("size, flag", [(4, "--view"), (24, "--ring")])
def test_segment_too_small_for_the_layout(make_segment, size, flag):
    name, _ = make_segment(size)
    result = run_tool(name, flag)
    assert result.returncode == 1 and "needs more than" in result.stderr


@pytest.mark.parametrize(
    "args, message",
    [
        (["/kelparine-inspect-missing-segment"], "no segment /kelparine-inspect-missing-segment"),
        (["/a/b", "--view"], "is not a segment name"),
        (["/", "--view"], "is not a segment name"),
        (["--view"], "need a segment name"),
        (["/x", "--view", "--ring"], "not allowed with argument"),
    ],
)
def test_usage_errors(args, message):
    result = run_tool(*args)
    assert result.returncode == 2 and message in result.stderr


def load_tool():
    """The tool's live globals, for patching what it calls (run_path itself returns a copy)."""
    return runpy.run_path(str(TOOL), run_name="kelparine_inspect")["main"].__globals__


# ---------------------------------------------------------------------------------------------
# --clear-stale-lock


def test_clear_refuses_without_confirmation(make_segment):
    name, shm = make_segment(4 + 16)
    poke(name, "<i", 0, 2)
    result = run_tool(name, "--clear-stale-lock", "--force")  # stdin is not a terminal
    assert result.returncode == 2 and "pass --yes" in result.stderr
    assert "WARNING" in result.stdout
    assert lock_word(name) == 2


@pytest.mark.parametrize("word", [1, -1, -3])
def test_clear_with_yes_unlocks_a_word_left_by_a_dead_process(make_segment, word):
    name, shm = make_segment(4 + 16)  # nobody maps it: whoever set the word is gone
    poke(name, "<i", 0, word)
    result = run_tool(name, "--clear-stale-lock", "--yes", "--force")
    assert result.returncode == 0, result.stderr
    # "No other process" only where every process could be inspected (not so on every host).
    assert "no other process maps it" in result.stdout or "no process that could be inspected" in result.stdout
    assert f"lock word cleared (was {word})" in result.stdout
    assert lock_word(name) == 0
    # An opener (which never resets the word) can take the lock again.
    view = kelparine.SharedMemory.open(name).map()
    view.write(b"ok")
    assert view.read_range(0, 2) == b"ok"


def test_clear_names_the_processes_that_still_map_it(make_segment):
    name, shm = make_segment(4 + 16)
    view = shm.map()  # this process maps it
    poke(name, "<i", 0, 1)
    result = run_tool(name, "--clear-stale-lock", "--yes", "--force")
    assert result.returncode == 0
    assert f"mapped by: {os.getpid()} " in result.stdout
    assert view.reader_count() == 0


def test_clear_on_an_unlocked_word_does_nothing(make_segment):
    name, _ = make_segment(4 + 16)
    result = run_tool(name, "--clear-stale-lock")
    assert result.returncode == 0 and "nothing to clear" in result.stdout


@pytest.mark.parametrize("answer, cleared", [("clear\n", True), ("no\n", False), ("\n", False)])
def test_clear_asks_on_a_terminal(make_segment, answer, cleared):
    name, shm = make_segment(4 + 16)
    poke(name, "<i", 0, -1)
    controller, terminal = pty.openpty()
    try:
        process = subprocess.Popen(
            [sys.executable, str(TOOL), name, "--clear-stale-lock", "--force"],
            stdin=terminal,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        os.write(controller, answer.encode())
        out, err = process.communicate(timeout=30)
    finally:
        os.close(controller)
        os.close(terminal)
    assert process.returncode == (0 if cleared else 1), out + err
    assert lock_word(name) == (0 if cleared else -1)
    assert ("lock word cleared" in out) == cleared


def test_clear_never_wipes_a_hold_taken_after_the_word_was_read(make_segment, capsys):
    # The tool runs once for each line of its clearing code after its first read of the word,
    # and each time a live reader joins (one more shared hold) just before that line runs.
    name, _ = make_segment(4 + 16)
    main = load_tool()["main"]
    outcomes, taken_at = set(), 0
    while True:
        poke(name, "<i", 0, 3)  # three stale shared holds
        lines, looked = [0], [False]

        def in_clear(frame, event, arg):
            if event == "line" and looked[0]:
                lines[0] += 1
                if lines[0] == taken_at:
                    poke(name, "<i", 0, lock_word(name) + 1)
            return in_clear

        def in_read(frame, event, arg):
            looked[0] = looked[0] or event == "return"
            return in_read

        sys.settrace(lambda frame, *_: {"clear_stale_lock": in_clear, "read_lock_word": in_read}.get(
            frame.f_code.co_name))
        try:
            status = main([name, "--clear-stale-lock", "--yes", "--force"])
        finally:
            sys.settrace(None)
        if taken_at > lines[0]:
            break  # every moment has been tried
        # With no hold taken the stale word is cleared; otherwise either the hold came first and
        # the clear was refused (3 stale + 1 live), or the clear came first and the hold is left.
        assert (status, lock_word(name)) in ([(0, 0)] if taken_at == 0 else [(1, 4), (0, 1)]), taken_at
        outcomes.add(status)
        taken_at += 1
    assert outcomes == {0, 1}


# ---------------------------------------------------------------------------------------------
# Stale holds, ring bytes, unreadable processes, orphans


@pytest.mark.parametrize("word", [-1, 2, -2])
@pytest.mark.parametrize("mapped", [True, False], ids=["mapped", "unmapped"])
def test_a_hold_no_process_maps_is_stale(make_segment, word, mapped):
    name, shm = make_segment(4 + 16)
    view = shm.map() if mapped else None
    shm.close()  # an open handle is present on the segment: unmapped means unused here
    poke(name, "<i", 0, word)
    code, data = report(name, "--view")
    assert data["view"]["stale"] is not mapped and code == (0 if mapped and word >= -1 else 1)
    text = run_tool(name, "--view").stdout
    assert ("maps the segment, so no holder is left" in text) is not mapped
    assert ("corrupt or stale, clear it" in text) is (word < -1)
    del view


def test_view_of_a_ring_segment_warns(make_segment):
    name, shm = make_segment(24 + 64)
    shm.spsc()
    assert report(name, "--view")[1]["view"]["looks_like_ring"] is True
    assert "look like a ring header (capacity 64" in run_tool(name, "--view").stdout
    poke(name, "<Q", 16, 32)  # the capacity word no longer matches
    assert report(name, "--view")[1]["view"]["looks_like_ring"] is False


@pytest.mark.parametrize("euid, advice, wrong", [(0, "even as root", "run as root"), (1000, "run as root", "even")])
def test_unreadable_processes_get_advice_that_fits_the_user(make_segment, euid, advice, wrong, capsys, monkeypatch):
    name, _ = make_segment(4 + 16)
    tool = load_tool()

    def no_maps(path, *args, **kwargs):  # every process hides its address space
        if path.endswith("/maps"):
            raise PermissionError(path)
        return open(path, *args, **kwargs)

    monkeypatch.setitem(tool, "open", no_maps)
    monkeypatch.setattr(os, "geteuid", lambda: euid)
    tool["main"]([name])
    out = capsys.readouterr().out
    assert "could not be inspected" in out and advice in out and wrong not in out


def _create_and_exit(name):
    kelparine.SharedMemory.create(name, 4 + 100).map()


def test_orphans_are_segments_nobody_maps_or_holds_open(mp_context):
    prefix = unique_name("orphan")
    mapped, held, dead = (prefix + suffix for suffix in ("-mapped", "-held", "-dead"))
    try:
        view = kelparine.SharedMemory.create(mapped, 4 + 100).map()
        handle = kelparine.SharedMemory.create(held, 64)  # open here, never mapped
        child = mp_context.Process(target=_create_and_exit, args=(dead,))
        child.start()
        child.join(30)
        code, found = report("--orphans", prefix.lstrip("/"))
        assert code == 0 and [(o["name"], o["size"], o["uid"]) for o in found] == [(dead, 104, os.getuid())]
        assert found[0]["age_seconds"] >= 0
        refused = run_tool("--remove-orphans", prefix, "--force")  # stdin is not a terminal
        assert refused.returncode == 2 and "pass --yes" in refused.stderr and os.path.exists(shm_path(dead))
        assert report("--remove-orphans", prefix, "--yes", "--force") == (0, {"removed": [dead], "skipped": []})
        assert [os.path.exists(shm_path(n)) for n in (mapped, held, dead)] == [True, True, False]
        del view, handle
    finally:
        for name in (mapped, held, dead):
            remove_quietly(name)


def test_remove_orphans_skips_a_segment_mapped_meanwhile(make_segment, capsys, monkeypatch):
    name, shm = make_segment(4 + 16)
    shm.close()
    tool, views = load_tool(), []
    confirm = tool["confirm"]

    def confirm_while_someone_maps(*args, **kwargs):
        views.append(kelparine.SharedMemory.open(name).map())
        return confirm(*args, **kwargs)

    monkeypatch.setitem(tool, "confirm", confirm_while_someone_maps)
    assert tool["main"](["--remove-orphans", name, "--yes", "--force", "--json"]) == 0
    assert json.loads(capsys.readouterr().out) == {"removed": [], "skipped": [name]}


# ---------------------------------------------------------------------------------------------
# Names that are no segment, and processes the tool cannot see


# Every mode, with NAME for the planted name; listing modes leave it out rather than refuse.
MODES = [(["NAME"], False), (["NAME", "--view"], False), (["NAME", "--ring"], False),
         (["NAME", "--clear-stale-lock", "--yes"], False),
         ([], True), (["--orphans", "NAME"], True), (["--remove-orphans", "NAME", "--yes", "--force"], True)]
# Bytes that pass for a consistent ring header and for a held lock word.
TARGET_BYTES = struct.pack("<QQQ", 7, 7, 64) + bytes(64)


@pytest.fixture(params=["symlink", "fifo"])
def planted(request, tmp_path):
    """A name in /dev/shm that is no segment: a symbolic link to another file, or a FIFO
    (which blocks a plain open for reading). Yields the name and the refusal expected."""
    name, target = unique_name(request.param), tmp_path / "target"
    target.write_bytes(TARGET_BYTES)
    if request.param == "symlink":
        os.symlink(target, shm_path(name))
    else:
        os.mkfifo(shm_path(name))
    yield name, "ELOOP: Too many symbolic links encountered" if request.param == "symlink" else "is a FIFO"
    os.unlink(shm_path(name))
    assert target.read_bytes() == TARGET_BYTES


@pytest.mark.parametrize("args, listing", MODES, ids=lambda v: " ".join(v) if isinstance(v, list) else None)
def test_links_and_fifos_are_never_followed_or_read(planted, args, listing):
    name, refusal = planted
    result = run_tool(*(name if arg == "NAME" else arg for arg in args), timeout=20)
    if listing:
        assert result.returncode == 0 and name not in result.stdout, result.stderr
    else:
        assert result.returncode == 2 and result.stdout == ""
        assert result.stderr.startswith("kelparine-inspect: ") and refusal in result.stderr
    assert os.path.lexists(shm_path(name))


def hidden_from(*wrapper):
    """Runs the tool under `wrapper` (an unshare command line) where processes are hidden from
    it; skips where the system does not allow the wrapper."""
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        pytest.skip("needs root and unshare")
    if subprocess.run([*wrapper, "true"], capture_output=True, timeout=20).returncode != 0:
        pytest.skip(f"{' '.join(wrapper[:2])} is not allowed here")
    return lambda *args: subprocess.run([*wrapper, sys.executable, str(TOOL), *args], stdin=subprocess.DEVNULL,
                                        capture_output=True, text=True, timeout=30)


def test_processes_of_another_pid_namespace_are_never_ruled_out():
    # A container's view: /dev/shm shared, the host's processes absent from its /proc.
    tool = hidden_from("unshare", "--pid", "--fork", "--mount-proc")
    prefix = unique_name("unseen")
    ring_name, view_name = prefix + "-ring", prefix + "-view"
    try:
        # This live process maps a ring and a view with plain mmap, as a program that ignores
        # the presence convention would (so it is present on neither), and holds the view's lock.
        maps = []
        for name, size in ((ring_name, 24 + 64), (view_name, 4 + 64)):
            kelparine.SharedMemory.create(name, size).close()
            with open(shm_path(name), "r+b") as file:
                maps.append(mmap.mmap(file.fileno(), 0))
        poke(view_name, "<i", 0, -1)
        listed = tool("--orphans", prefix)
        assert listed.returncode == 0 and "may be in use by processes this tool cannot see" in listed.stdout
        found = json.loads(tool("--orphans", prefix, "--json").stdout)
        assert {(o["name"], o["may_be_in_use"]) for o in found} == {(ring_name, True), (view_name, True)}
        assert json.loads(tool(view_name, "--view", "--json").stdout)["mapped_by_complete"] is False
        removed = tool("--remove-orphans", prefix, "--yes")
        assert removed.returncode == 1 and "pass --force" in removed.stderr
        assert os.path.exists(shm_path(ring_name)) and os.path.exists(shm_path(view_name))
        cleared = tool(view_name, "--clear-stale-lock", "--yes")
        assert cleared.returncode == 1 and "refusing to clear" in cleared.stderr
        assert "certainly" not in cleared.stdout and lock_word(view_name) == -1
        for mapping in maps:
            mapping.close()
    finally:
        for name in (ring_name, view_name):
            remove_quietly(name)


def test_hidepid_is_a_blind_spot(make_segment):
    # The same PID namespace, but a /proc that leaves out the processes the caller may not trace.
    tool = hidden_from("unshare", "--mount", "sh", "-c", 'mount -t proc -o hidepid=2 proc /proc && exec "$@"', "sh")
    name, shm = make_segment(4 + 16)
    shm.close()
    listed = tool("--orphans", name)
    assert "hidepid=" in listed.stdout and "may be in use by processes this tool cannot see" in listed.stdout
    removed = tool("--remove-orphans", name, "--yes")
    assert removed.returncode == 1 and "pass --force" in removed.stderr and os.path.exists(shm_path(name))


def test_with_nothing_hidden_it_clears_and_removes_without_force(make_segment, capsys, monkeypatch):
    tool = load_tool()
    monkeypatch.setitem(tool, "blind_spots", lambda unreadable: [])
    name, shm = make_segment(4 + 16)
    shm.close()
    poke(name, "<i", 0, 2)
    assert tool["main"]([name, "--clear-stale-lock", "--yes"]) == 0
    out = capsys.readouterr().out
    assert "most likely left by a process that ended" in out and "certainly" not in out
    assert lock_word(name) == 0
    assert tool["main"](["--remove-orphans", name, "--yes", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["removed"] == [name]


# ---------------------------------------------------------------------------------------------
# Presence: processes that hold the convention's locks, taken here in plain Python

PRESENCE, PRODUCER, CONSUMER = 2**62, 2**62 + 1, 2**62 + 2
SHARED, EXCLUSIVE = 0, 1  # F_RDLCK, F_WRLCK
HOLD_LOCKS = """
import fcntl, os, struct, sys
fd = os.open(sys.argv[1], os.O_RDWR | os.O_CLOEXEC)  # a description of its own, never mapped
for spec in sys.argv[2:]:
    byte, kind = map(int, spec.split(":"))
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi4x", kind, os.SEEK_SET, byte, 1, 0))
print("ready", flush=True)
sys.stdin.read()
"""


@pytest.fixture
def holder():
    """holder(name, (byte, kind), ...) starts a process that holds those locks on the segment
    and waits; every one is killed afterwards."""
    children = []

    def start(name, *locks):
        child = subprocess.Popen([sys.executable, "-c", HOLD_LOCKS, shm_path(name), *(f"{b}:{k}" for b, k in locks)],
                                 stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        children.append(child)
        assert child.stdout.readline() == "ready\n"
        return child

    yield start
    for child in children:
        child.kill()
        child.wait(30)


def unused_segment(make_segment, size):
    """A segment no object of this process keeps open, so that only the holders are present."""
    name, shm = make_segment(size)
    shm.close()
    return name


def test_presence_rules_out_orphans_across_pid_namespaces(make_segment, holder):
    tool = hidden_from("unshare", "--pid", "--fork", "--mount-proc")
    name = unused_segment(make_segment, 24 + 64)
    child = holder(name, (PRESENCE, SHARED))  # invisible to the tool's /proc
    assert json.loads(tool("--orphans", name, "--json").stdout) == []
    kept = tool("--remove-orphans", name, "--yes", "--force")
    assert kept.returncode == 0 and os.path.exists(shm_path(name)), kept.stdout + kept.stderr
    assert json.loads(tool(name, "--json").stdout)["present"] is True
    child.kill()  # SIGKILL: the kernel drops its locks
    child.wait(30)
    found = json.loads(tool("--orphans", name, "--json").stdout)
    assert [(o["name"], o["present"], o["may_be_in_use"]) for o in found] == [(name, False, True)]
    # What is left to --force: programs that ignore the convention, which this /proc cannot show.
    refused = tool("--remove-orphans", name, "--yes")
    assert refused.returncode == 1 and "ignore the presence convention" in refused.stderr
    assert json.loads(tool("--remove-orphans", name, "--yes", "--force", "--json").stdout)["removed"] == [name]
    assert not os.path.exists(shm_path(name))


HELD = {"none": "not held", "shared": "held shared", "exclusive": "held exclusively"}


@pytest.mark.parametrize(
    "locks, present, producer, consumer",
    [
        ([], False, "none", "none"),
        ([(PRESENCE, SHARED)], True, "none", "none"),
        ([(PRESENCE, SHARED), (PRODUCER, SHARED)], True, "shared", "none"),
        ([(PRESENCE, SHARED), (PRODUCER, EXCLUSIVE), (CONSUMER, SHARED)], True, "exclusive", "shared"),
        ([(PRESENCE, SHARED), (CONSUMER, EXCLUSIVE)], True, "none", "exclusive"),
    ],
)
def test_presence_and_ring_roles_are_shown(make_segment, holder, locks, present, producer, consumer):
    name = unused_segment(make_segment, 24 + 64)
    poke(name, "<QQQ", 0, 0, 0, 64)  # an empty ring's header
    if locks:
        holder(name, *locks)
    code, data = report(name, "--ring")
    assert code == 0 and (data["present"], data["producer_role"], data["consumer_role"]) == (present, producer, consumer)
    text = run_tool(name, "--ring").stdout
    assert f"other processes present: {'yes' if present else 'no'}" in text
    assert f"roles: producer {HELD[producer]}, consumer {HELD[consumer]}" in text


def test_a_present_process_may_hold_the_word(make_segment, holder, capsys, monkeypatch):
    tool = load_tool()
    monkeypatch.setitem(tool, "blind_spots", lambda unreadable: [])  # /proc complete: only presence tells
    name = unused_segment(make_segment, 4 + 16)
    poke(name, "<i", 0, -1)
    child = holder(name, (PRESENCE, SHARED))  # alive, not mapping it
    assert tool["main"]([name, "--view", "--json"]) == 0
    assert json.loads(capsys.readouterr().out)["view"]["stale"] is False
    assert tool["main"]([name, "--clear-stale-lock", "--yes"]) == 1
    assert "other processes are present" in capsys.readouterr().err and lock_word(name) == -1
    assert tool["main"]([name, "--clear-stale-lock", "--yes", "--force"]) == 0 and lock_word(name) == 0
    poke(name, "<i", 0, -1)
    child.kill()
    child.wait(30)
    assert tool["main"]([name, "--view"]) == 1
    assert "stale: no process is present on it" in capsys.readouterr().out
    assert tool["main"]([name, "--clear-stale-lock", "--yes"]) == 0 and lock_word(name) == 0
