"""The bad-input table of the documentation (docs/reliability.md, "## Bad input"), run row by
row: each call raises exactly the exception and message listed, and leaves every segment byte,
every cursor, the set of segments and the ring's messages as they were (or, where the row says
so, consumes exactly the one message being decoded)."""

import builtins
import os
import pathlib
import re

import pytest

import kelparine
from conftest import remove_quietly, shm_path, unique_name

TABLE_PAGE = pathlib.Path(__file__).resolve().parent.parent / "docs" / "reliability.md"
ROW = re.compile(r"^\| `(?P<call>.+?)` \| (?P<raises>\w+) \| (?:`(?P<message>.*)`|—) \| (?P<after>[^|]+) \|$")


def table_rows():
    text = TABLE_PAGE.read_text(encoding="utf-8")
    section = text.split("\n## Bad input\n", 1)[1].split("\n## ", 1)[0]
    rows = []
    for line in section.splitlines():
        if line.startswith("| `"):
            match = ROW.match(line)
            assert match, f"malformed row in {TABLE_PAGE.name}: {line}"
            rows.append(pytest.param(match["call"], getattr(builtins, match["raises"]), match["message"],
                                     match["after"].strip(), id=match["call"]))
    return rows


ROWS = table_rows()


def test_the_table_covers_every_member():
    calls = " ".join(row.values[0] for row in ROWS)
    members = {
        "SharedMemory": ["create", "open", "remove"],
        "shm": ["map", "spsc"], "tiny": ["map", "spsc"],
        "view": ["read_all", "read_range", "write", "seek", "read", "read_mixed", "write_mixed", "zero"],
        "ring": ["push", "pop", "pop_mixed", "used"],
    }
    missing = [f"{owner}.{member}" for owner, names in members.items() for member in names
               if f"{owner}.{member}(" not in calls]
    assert not missing
    assert len(ROWS) >= 90


class Setting:
    """The objects the table's calls use, in their documented state."""

    def __init__(self):
        self.names = [unique_name("bad") for _ in range(4)]
        self.missing, existing, tiny_name, ring_name = self.names
        self.shm = kelparine.SharedMemory.create(existing, 68)
        self.view = self.shm.map()
        self.view.write(bytes(range(64)), 0)
        self.view.write(b"\x09\x00\x00\x00", 60)
        self.view.seek(8)
        self.end_view = self.shm.map()
        self.end_view.seek(60)
        self.tiny = kelparine.SharedMemory.create(tiny_name, 4)
        self.ring_shm = kelparine.SharedMemory.create(ring_name, 88)
        self.ring = self.ring_shm.spsc()
        assert self.ring.push(b"\x01\x02\x03\x04") and self.ring.push(b"keep")
        self.segments = [existing, tiny_name, ring_name]
        self.namespace = {
            "SharedMemory": kelparine.SharedMemory, "NAME": self.missing, "EXISTING": existing,
            "shm": self.shm, "tiny": self.tiny, "view": self.view, "end_view": self.end_view, "ring": self.ring,
        }

    def state(self):
        contents = {}
        for name in self.segments:
            with open(shm_path(name), "rb") as segment:
                contents[name] = segment.read()
        ours = sorted(entry for entry in os.listdir("/dev/shm")
                      if any(entry == name[1:] for name in self.names))
        return contents, ours, self.view.tell(), self.end_view.tell()

    def close(self):
        for name in self.names:
            remove_quietly(name)


@pytest.fixture
def setting():
    s = Setting()
    yield s
    s.close()


@pytest.mark.parametrize("call, raises, message, after", ROWS)
def test_bad_input_raises_and_leaves_nothing_behind(setting, call, raises, message, after):
    before = setting.state()
    with pytest.raises(BaseException) as caught:
        eval(call, dict(setting.namespace))  # noqa: S307 - the table's own call text
    assert type(caught.value) is raises
    if message is not None:
        assert str(caught.value) == message
    now = setting.state()
    ring_name = setting.segments[2]
    if after == "nothing":
        assert now == before
        assert setting.ring.pop() == b"\x01\x02\x03\x04"
    else:
        assert after == "the message is consumed"
        # Exactly the first frame (4 + 4 bytes) is gone: only head moved.
        consumed = dict(before[0])
        consumed[ring_name] = (8).to_bytes(8, "little") + before[0][ring_name][8:]
        assert now == (consumed, *before[1:])
    assert setting.ring.pop() == b"keep" and setting.ring.pop() is None
    # No hold was left taken.
    assert (setting.view.reader_count(), setting.view.is_write_locked()) == (0, False)
