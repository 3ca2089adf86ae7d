"""Examples must keep working: every script under examples/ runs as a smoke test with small
sizes, and the interactive examples in the module's docstrings (what help() shows) are run as
doctests, so the reference documentation cannot show results the module no longer gives."""

import doctest
import itertools
import os
import pathlib
import re
import subprocess
import sys

import pytest

import kelparine
from conftest import remove_quietly, unique_name

ROOT = pathlib.Path(__file__).resolve().parent.parent
EXAMPLES = ROOT / "examples"

# ---------------------------------------------------------------------------------------------
# Docstring examples

CLASSES = (kelparine.SharedMemory, kelparine.MappedView, kelparine.SpscRingBuffer)


def documented_objects():
    for cls in CLASSES:
        yield cls.__name__, cls
        for name, member in vars(cls).items():
            if not name.startswith("_"):
                yield f"{cls.__name__}.{name}", getattr(cls, name)


DOCUMENTED = list(documented_objects())

# Segment names quoted in the examples ("/telemetry", '/jobs', ...): renamed per run so that
# concurrent test runs on one host never share a segment.
QUOTED_NAME = re.compile(r"""(["'])(/[A-Za-z0-9_-]+)\1""")


@pytest.mark.parametrize("qualname, obj", DOCUMENTED, ids=[q for q, _ in DOCUMENTED])
def test_every_class_and_member_is_documented(qualname, obj):
    doc = obj.__doc__ or ""
    body = doc.split("\n--\n\n", 1)[-1]
    # A summary line, then at least one paragraph of explanation for anything non-trivial.
    assert body.strip(), qualname
    assert len(body.split()) >= 8, f"{qualname}: {body!r}"


def _with_examples():
    return [(q, o) for q, o in DOCUMENTED if ">>>" in (o.__doc__ or "")]


@pytest.mark.parametrize("qualname, obj", _with_examples(), ids=[q for q, _ in _with_examples()])
def test_docstring_examples_run(qualname, obj):
    renames = {}

    def rename(match):
        quote, name = match.groups()
        renames.setdefault(name, unique_name("doc" + name.replace("/", "-")))
        return quote + renames[name] + quote

    text = QUOTED_NAME.sub(rename, obj.__doc__.split("\n--\n\n", 1)[-1])
    view_name, ring_name = unique_name("docview"), unique_name("docring")
    globs = {
        "SharedMemory": kelparine.SharedMemory,
        "MappedView": kelparine.MappedView,
        "SpscRingBuffer": kelparine.SpscRingBuffer,
        # Method examples work on a fresh view and ring, as a reader would have them.
        "view": kelparine.SharedMemory.create(view_name, 4 + 256).map(),
        "ring": kelparine.SharedMemory.create(ring_name, 24 + 256).spsc(),
    }
    try:
        test = doctest.DocTestParser().get_doctest(text, globs, qualname, None, 0)
        assert test.examples, qualname
        output = []
        runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
        result = runner.run(test, out=output.append, clear_globs=False)
        assert result.failed == 0, "".join(output)
    finally:
        for name in [view_name, ring_name, *renames.values()]:
            remove_quietly(name)
