"""The module surface: what `import kelparine` gives, the shape of the three classes, and the
calling conventions every member shares (binding, conversion, static methods)."""

import functools
import importlib
import inspect
import os
import pathlib
import re
import shutil
import subprocess
import sys
import types
import weakref

import queue

import pytest

import kelparine
from conftest import shm_path

SharedMemory = kelparine.SharedMemory
MappedView = kelparine.MappedView
SpscRingBuffer = kelparine.SpscRingBuffer
CLASSES = [SharedMemory, MappedView, SpscRingBuffer]

# Every Python-visible member, in method-table order, with its text signature. These lines are
# what inspect.signature reads, so scripts and tools depend on them verbatim.
MEMBERS = {
    "SharedMemory": [
        "create(name, size, mode=None, *, exclusive=False)",
        "open(name, size=None)",
        "remove(name)",
        "map($self)",
        "name($self)",
        "size($self)",
        "spsc($self)",
        "queue($self)",
        "close($self)",
        "closed($self)",
        "others_present($self)",
        "_clear_stale_lock($self, observed)",
    ],
    "MappedView": [
        "read_all($self)",
        "read_range($self, offset, length)",
        "write($self, data, offset=None)",
        "seek($self, pos=0)",
        "tell($self)",
        "read($self, tag)",
        "read_mixed($self, schema, offset=None)",
        "write_mixed($self, items, offset=None)",
        "zero($self)",
        "reader_count($self)",
        "is_write_locked($self)",
        "set_lock_timeout($self, seconds, *, recover_stale=False)",
        "lock_timeout($self)",
        "close($self)",
        "closed($self)",
        "size($self)",
        "others_present($self)",
    ],
    "SpscRingBuffer": [
        "push($self, data)",
        "pop($self, tag=None)",
        "used($self)",
        "capacity($self)",
        "free($self)",
        "is_empty($self)",
        "is_full($self)",
        "pop_mixed($self, schema)",
        "put($self, data, timeout=None)",
        "get($self, tag=None, timeout=None)",
        "get_mixed($self, schema, timeout=None)",
        "select(rings, timeout=None)",
        "pop_into($self, buffer)",
        "get_into($self, buffer, timeout=None)",
        "push_many($self, items)",
        "pop_many($self, max_messages, tag=None, *, schema=None)",
        "get_many($self, max_messages, timeout=None, *, tag=None, schema=None)",
        "reserve($self, size, timeout=None)",
        "borrow($self, timeout=None)",
        "put_array($self, array, timeout=None)",
        "get_array($self, timeout=None)",
        "reserve_array($self, shape, dtype, timeout=None)",
        "borrow_array($self, timeout=None)",
        "close($self)",
        "closed($self)",
        "others_present($self)",
        "has_producer($self)",
        "has_consumer($self)",
        "claim_role($self, role)",
        "create(name, capacity, mode=None, *, exclusive=False)",
        "open(name)",
        "aget($self, tag=None, timeout=None)",
        "aget_mixed($self, schema, timeout=None)",
        "aget_into($self, buffer, timeout=None)",
        "aput($self, data, timeout=None)",
        "areserve($self, size, timeout=None)",
        "aborrow($self, timeout=None)",
        "aselect(rings, timeout=None)",
    ],
    "Queue": [
        "put($self, obj, block=True, timeout=None)",
        "get($self, block=True, timeout=None)",
        "put_nowait($self, obj)",
        "get_nowait($self)",
        "put_many($self, items, timeout=None)",
        "get_many($self, max_items, timeout=None)",
        "aget($self, timeout=None)",
        "aput($self, obj, timeout=None)",
        "aget_many($self, max_items, timeout=None)",
        "aput_many($self, items, timeout=None)",
        "qsize($self)",
        "empty($self)",
        "full($self)",
        "capacity($self)",
        "others_present($self)",
        "close($self)",
        "join_thread($self)",
        "cancel_join_thread($self)",
        "create(name, capacity, mode=None, *, exclusive=False)",
        "open(name)",
    ],
}
STATIC = {"create", "open", "remove", "select", "aselect"}
# Special methods beyond __repr__: the context manager and pickling of every handle.
HANDLE_DUNDERS = {"__enter__", "__exit__", "__reduce__"}


def parse(signature):
    """'seek($self, pos=0)' -> ('seek', [('pos', '0')]); required parameters have default None.
    A bare '*' is skipped: keyword_only() names the parameters after it."""
    name, rest = signature.split("(", 1)
    params = []
    for part in filter(None, (p.strip() for p in rest.rstrip(")").split(","))):
        if part in ("$self", "*"):
            continue
        pname, _, default = part.partition("=")
        params.append((pname, default or None))
    return name, params


def keyword_only(signature):
    """The parameter names after a bare '*' in a text signature."""
    parts = [p.strip() for p in signature.split("(", 1)[1].rstrip(")").split(",")]
    return [p.partition("=")[0] for p in parts[parts.index("*") + 1 :]] if "*" in parts else []


SIGNATURE_CASES = [
    pytest.param(cls, sig, id=f"{cls}.{sig.split('(')[0]}") for cls, sigs in MEMBERS.items() for sig in sigs
]


# --- the module object -------------------------------------------------------------------


def test_module_attributes():
    # Queue is an attribute of the module; __all__ keeps the three segment classes.
    assert kelparine.__all__ == ["SharedMemory", "MappedView", "SpscRingBuffer"]
    assert type(kelparine.__all__) is list
    assert kelparine.__doc__ == ""
    # Submodules (kelparine.bridge, once imported) are bound by the import system itself.
    own = {k for k, v in vars(kelparine).items() if not (k.startswith("__") and k.endswith("__"))
           and not (isinstance(v, types.ModuleType) and v.__name__ == f"kelparine.{k}")}
    assert own == {"SharedMemory", "MappedView", "SpscRingBuffer", "Queue"}


def test_queue_class_shape():
    # Made by calling it (as multiprocessing.Queue is), found by pickle as kelparine.Queue, not
    # subclassable; its members are the table's, plus the maker pickle calls in a spawned child.
    Queue = kelparine.Queue
    assert (Queue.__module__, Queue.__qualname__, Queue.__bases__) == ("kelparine", "Queue", (object,))
    assert Queue.__text_signature__ == "(maxsize=0, *, capacity=1048576)"
    assert list(k for k in vars(Queue) if not k.startswith("__")) == [parse(s)[0] for s in MEMBERS["Queue"]] + [
        "_rebuild"]
    assert {k for k in vars(Queue) if k.startswith("__")} == {"__repr__", "__doc__", "__module__", "__new__",
                                                              "__aiter__", "__anext__"} | HANDLE_DUNDERS
    with pytest.raises(TypeError):
        type("Sub", (Queue,), {})
    with pytest.raises(TypeError):
        Queue(1, 2)  # capacity is keyword-only
    assert repr(Queue(3, capacity=100)) == "Queue(maxsize=3, capacity=128, qsize=0)"


def test_version_comes_from_meson_build():
    root = pathlib.Path(__file__).resolve().parent.parent
    declared = re.search(r"^project\('kelparine',.*?version: '([^']+)'", (root / "meson.build").read_text(),
                         re.MULTILINE | re.DOTALL)
    assert type(kelparine.__version__) is str and kelparine.__version__ == declared.group(1)
    # meson.build is the one place: pyproject.toml asks meson-python for it.
    pyproject = (root / "pyproject.toml").read_text()
    assert 'dynamic = ["version"]' in pyproject and not re.search(r"^version\s*=", pyproject, re.MULTILINE)


@pytest.mark.parametrize("attribute", ["RWLOCK_SIZE", "SPSC_HEADER_SIZE", "PanicException"])
def test_internal_names_are_not_module_attributes(attribute):
    assert not hasattr(kelparine, attribute)


def test_reimport_reuses_the_class_objects(monkeypatch):
    # Classes are created once per process; a fresh module object must hand out the same ones
    # (and a fresh __all__, not one that grew).
    monkeypatch.delitem(sys.modules, "kelparine")
    again = importlib.import_module("kelparine")
    assert again is not kelparine
    for cls in CLASSES:
        assert getattr(again, cls.__name__) is cls
    assert again.__all__ == ["SharedMemory", "MappedView", "SpscRingBuffer"]


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not available")
def test_only_the_initialiser_is_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", kelparine.__file__], capture_output=True, text=True, timeout=30
    )
    assert out.returncode == 0, out.stderr
    symbols = [line.split()[-1] for line in out.stdout.splitlines() if line.strip()]
    assert symbols == ["PyInit_kelparine"]


# --- the classes -------------------------------------------------------------------------


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_identity(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__bases__ == (object,)
    assert cls.__doc__  # a class docstring, without a signature line
    assert cls.__text_signature__ is None


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_class_members_are_exactly_the_table(cls):
    # Nothing but the methods and __repr__ (and a ring's iteration): no comparison, hashing,
    # buffer or mapping protocol, no properties, no constructor.
    names = [parse(sig)[0] for sig in MEMBERS[cls.__name__]]
    assert list(k for k in vars(cls) if not k.startswith("__")) == names
    iteration = {"__iter__", "__next__", "__aiter__", "__anext__"} if cls is kelparine.SpscRingBuffer else set()
    assert {k for k in vars(cls) if k.startswith("__")} == {"__repr__", "__doc__", "__module__"} | HANDLE_DUNDERS | iteration


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
@pytest.mark.parametrize(
    "make",
    [
        lambda cls: cls(),
        lambda cls: cls("/x", 10),
        lambda cls: object.__new__(cls),
        lambda cls: cls.__new__(cls),
    ],
    ids=["call", "call-args", "object-new", "cls-new"],
)
def test_classes_cannot_be_instantiated(cls, make):
    with pytest.raises(TypeError):
        make(cls)


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_cannot_be_subclassed(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


@pytest.fixture
def instances(make_segment):
    """One instance of each class; the view and the ring live on separate segments."""
    _, shm = make_segment(4120)
    _, ring_shm = make_segment(4120)
    _, queue_shm = make_segment(4608 + 4096)
    return {"SharedMemory": shm, "MappedView": shm.map(), "SpscRingBuffer": ring_shm.spsc(),
            "Queue": queue_shm.queue()}


@pytest.mark.parametrize("cls", [c.__name__ for c in CLASSES] + ["Queue"])
def test_instances_have_no_dict_and_no_weakrefs(instances, cls):
    obj = instances[cls]
    with pytest.raises(AttributeError):
        obj.anything = 1
    with pytest.raises(AttributeError):
        obj.size = 1  # a method name: still not assignable on the instance
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)


@pytest.mark.parametrize("cls", [c.__name__ for c in CLASSES] + ["Queue"])
def test_instances_copy_and_pickle_by_name(instances, cls):
    # Never a second owner of one descriptor or mapping: a copy opens the name again and makes
    # its own mapping, in the opener's role.
    import copy
    import pickle

    obj = instances[cls]
    for attempt in (copy.copy, copy.deepcopy, lambda o: pickle.loads(pickle.dumps(o))):
        twin = attempt(obj)
        assert twin is not obj and type(twin) is type(obj)
        assert repr(twin) == repr(obj).replace("creator", "opener")


@pytest.mark.parametrize(
    "cls, name, args, foreign",
    [
        (SharedMemory, "size", (), "MappedView"),
        (MappedView, "size", (), "SpscRingBuffer"),
        (SpscRingBuffer, "capacity", (), "SharedMemory"),
        (MappedView, "read_range", (0, 1), "SharedMemory"),
    ],
)
def test_member_applied_to_a_foreign_object(instances, cls, name, args, foreign):
    with pytest.raises(TypeError):
        getattr(cls, name)(instances[foreign], *args)


# --- signatures --------------------------------------------------------------------------


@pytest.mark.parametrize("cls, signature", SIGNATURE_CASES)
def test_text_signature(cls, signature):
    name, params = parse(signature)
    raw = vars(getattr(kelparine, cls))[name]
    member = getattr(getattr(kelparine, cls), name)
    assert member.__text_signature__ == signature[len(name):]
    assert isinstance(raw, staticmethod) == (name in STATIC)
    assert not isinstance(raw, property)

    sig = inspect.signature(member)
    listed = list(sig.parameters.values())
    if name not in STATIC:
        assert listed[0].name == "self" and listed[0].kind is inspect.Parameter.POSITIONAL_ONLY
        listed = listed[1:]
    assert [p.name for p in listed] == [p for p, _ in params]
    for p, (_, default) in zip(listed, params):
        kind = inspect.Parameter.KEYWORD_ONLY if p.name in keyword_only(signature) else (
            inspect.Parameter.POSITIONAL_OR_KEYWORD)
        assert p.kind is kind
        expected = inspect.Parameter.empty if default is None else eval(default)
        assert p.default == expected


def test_read_range_signature_through_inspect():
    assert str(inspect.signature(MappedView.read_range)) == "(self, /, offset, length)"


# --- binding -----------------------------------------------------------------------------

# For each fast-call member, one complete set of valid arguments in signature order. Valid
# values make a too-permissive binding visible: the call would then succeed instead of failing.
def valid_arguments(cls, name, seg_name):
    return {
        ("SharedMemory", "create"): [seg_name, 4120, 0o666, False],
        ("SharedMemory", "_clear_stale_lock"): [0],
        ("SharedMemory", "open"): [seg_name, 4120],
        ("SharedMemory", "remove"): [seg_name],
        ("MappedView", "read_range"): [0, 1],
        ("MappedView", "write"): [b"x", 0],
        ("MappedView", "seek"): [0],
        ("MappedView", "read"): ["u8"],
        ("MappedView", "read_mixed"): [[("u8", 1)], 0],
        ("MappedView", "write_mixed"): [[1], 0],
        ("SpscRingBuffer", "push"): [b"x"],
        ("SpscRingBuffer", "pop"): ["u8"],
        ("SpscRingBuffer", "pop_mixed"): [[("u8", 1)]],
        ("MappedView", "set_lock_timeout"): [None, False],
        ("SpscRingBuffer", "put"): [b"x", 1],
        ("SpscRingBuffer", "get"): ["u8", 0],
        ("SpscRingBuffer", "get_mixed"): [[("u8", 1)], 0],
        ("SpscRingBuffer", "select"): [[], 0],
        ("SpscRingBuffer", "pop_into"): [bytearray(8)],
        ("SpscRingBuffer", "get_into"): [bytearray(8), 0],
        ("SpscRingBuffer", "push_many"): [[b"x"]],
        ("SpscRingBuffer", "pop_many"): [1, None, [("u8", 1)]],
        ("SpscRingBuffer", "get_many"): [1, 0, None, [("u8", 1)]],
        ("SpscRingBuffer", "reserve"): [1, 0],
        ("SpscRingBuffer", "borrow"): [0],
        ("SpscRingBuffer", "claim_role"): ["producer"],
        ("SpscRingBuffer", "create"): [seg_name, 4096, 0o666, False],
        ("SpscRingBuffer", "open"): [seg_name],
        ("SpscRingBuffer", "put_array"): [[1.5], 1],
        ("SpscRingBuffer", "get_array"): [0],
        ("SpscRingBuffer", "reserve_array"): [1, "f8", 0],
        ("SpscRingBuffer", "borrow_array"): [0],
        ("SpscRingBuffer", "aget"): ["u8", 0],
        ("SpscRingBuffer", "aget_mixed"): [[("u8", 1)], 0],
        ("SpscRingBuffer", "aget_into"): [bytearray(8), 0],
        ("SpscRingBuffer", "aput"): [b"x", 1],
        ("SpscRingBuffer", "areserve"): [1, 0],
        ("SpscRingBuffer", "aborrow"): [0],
        ("SpscRingBuffer", "aselect"): [[], 0],
        ("Queue", "put"): [b"x", True, 1],
        ("Queue", "get"): [True, 0],
        ("Queue", "put_nowait"): [b"x"],
        ("Queue", "put_many"): [[b"x"], 1],
        ("Queue", "get_many"): [1, 0],
        ("Queue", "aget"): [0],
        ("Queue", "aput"): [b"x", 1],
        ("Queue", "aget_many"): [1, 0],
        ("Queue", "aput_many"): [[b"x"], 1],
        ("Queue", "create"): [seg_name, 4096, 0o666, False],
        ("Queue", "open"): [seg_name],
    }[(cls, name)]


FASTCALL = [c for c in SIGNATURE_CASES if parse(c.values[1])[1]]
NOARGS = [c for c in SIGNATURE_CASES if not parse(c.values[1])[1]]


@pytest.fixture
def bound_call(instances, make_segment):
    """bound_call(cls, signature) -> (callable member, parameters, valid args); a segment
    exists under the name the SharedMemory members get."""

    def get(cls, signature):
        name, params = parse(signature)
        seg, seg_shm = make_segment(4120 if cls != "Queue" else 4608 + 4096)
        if cls == "Queue":
            seg_shm.queue()  # Queue.open finds a queue there
        else:
            seg_shm.spsc().close()  # a ring header too, for SpscRingBuffer.open
        owner = instances[cls]
        member = getattr(owner, name)
        values = valid_arguments(cls, name, seg)
        named = keyword_only(signature)
        if named:  # the positional part below; keyword-only parameters always go by name
            params, values = params[: -len(named)], values[: -len(named)]
            member = functools.partial(member, **dict(zip(named, valid_arguments(cls, name, seg)[-len(named):])))
        return member, params, values

    return get


@pytest.mark.parametrize("cls, signature", FASTCALL)
def test_every_parameter_can_be_given_by_keyword(bound_call, cls, signature):
    member, params, values = bound_call(cls, signature)
    try:
        result = member(**{p: v for (p, _), v in zip(params, values)})
        if inspect.iscoroutine(result):  # an awaitable member: bound at the call, never run here
            result.close()
    except (TimeoutError, queue.Empty):
        pass  # a get() on an empty ring or queue: the arguments were bound all the same
    except ImportError:
        pass  # an array member without NumPy: likewise


def test_create_by_keyword_equals_by_position(seg_name):
    by_position = SharedMemory.create(seg_name, 4096)
    by_keyword = SharedMemory.create(name=seg_name, size=4096)
    mixed = SharedMemory.create(seg_name, size=4096)
    assert repr(by_position) == repr(by_keyword) == repr(mixed)


@pytest.mark.parametrize("cls, signature", FASTCALL)
@pytest.mark.parametrize("fault", ["surplus", "missing", "unexpected", "duplicate"])
def test_binding_errors(bound_call, cls, signature, fault):
    member, params, values = bound_call(cls, signature)
    required = sum(default is None for _, default in params)
    if fault == "surplus":
        args, kwargs = values + [0], {}
    elif fault == "missing":
        if required == 0:
            pytest.skip("no required parameter")
        args, kwargs = values[: required - 1], {}
    elif fault == "unexpected":
        args, kwargs = values, {"bogus": 1}
    else:
        args, kwargs = values, {params[0][0]: values[0]}
    with pytest.raises(TypeError):
        member(*args, **kwargs)


def test_missing_size_in_create(seg_name):
    with pytest.raises(TypeError, match="size"):
        SharedMemory.create(seg_name)
    assert not os.path.exists(shm_path(seg_name))


def test_missing_name_when_only_size_is_given():
    with pytest.raises(TypeError, match="name"):
        SharedMemory.create(size=10)


@pytest.mark.parametrize("cls, signature", NOARGS)
@pytest.mark.parametrize("call", [lambda m: m(1), lambda m: m(x=1), lambda m: m(None)],
                         ids=["positional", "keyword", "none"])
def test_noargs_members_take_no_argument(instances, cls, signature, call):
    member = getattr(instances[cls], parse(signature)[0])
    with pytest.raises(TypeError):
        call(member)


def test_name_is_a_method(make_segment):
    name, shm = make_segment(4096)
    assert inspect.ismethod(shm.name) or inspect.isbuiltin(shm.name)
    assert shm.name.__self__ is shm
    assert shm.name != name
    assert shm.name() == name


def test_static_method_through_an_instance_acts_on_its_argument(make_segment):
    own_name, shm = make_segment(4096)
    other_name, _ = make_segment(4096)
    assert shm.remove(other_name) is None
    assert not os.path.exists(shm_path(other_name))
    assert os.path.exists(shm_path(own_name))
    # open and create through an instance work on the name given, too
    assert shm.create(other_name, 64).name() == other_name
    assert shm.open(other_name).size() == 64


# --- conversions -------------------------------------------------------------------------


class Index:
    """Not an int, but usable as one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "call, exc, param",
    [
        (lambda n: SharedMemory.create(b"/x", 10), TypeError, "name"),
        (lambda n: SharedMemory.create(None, 10), TypeError, "name"),
        (lambda n: SharedMemory.create(n, "10"), TypeError, "size"),
        (lambda n: SharedMemory.create(n, 10.0), TypeError, "size"),
        (lambda n: SharedMemory.create(n, None), TypeError, "size"),
        (lambda n: SharedMemory.open(1), TypeError, "name"),
        (lambda n: SharedMemory.open(n, size="a"), TypeError, "size"),
        (lambda n: SharedMemory.open(n, size=1.5), TypeError, "size"),
        (lambda n: SharedMemory.remove(None), TypeError, "name"),
        (lambda n: SharedMemory.remove(["/x"]), TypeError, "name"),
        (lambda n: SharedMemory.create(n, -1), OverflowError, None),
        (lambda n: SharedMemory.create(n, 2**64), OverflowError, None),
        (lambda n: SharedMemory.create(n, Index(-1)), OverflowError, None),
        (lambda n: SharedMemory.open(n, size=-1), OverflowError, None),
        (lambda n: SharedMemory.open(n, size=2**64), OverflowError, None),
        (lambda n: SharedMemory.create(n + "\udcff", 10), UnicodeEncodeError, None),
        (lambda n: SharedMemory.open("/\ud800"), UnicodeEncodeError, None),
        (lambda n: SharedMemory.remove("/a\udfff"), UnicodeEncodeError, None),
    ],
)
def test_conversion_errors(seg_name, call, exc, param):
    # Conversion precedes every check and every system call, so nothing is created.
    with pytest.raises(exc) as info:
        call(seg_name)
    assert type(info.value) is exc
    if param is not None:
        assert f"'{param}'" in str(info.value)
    assert not os.path.exists(shm_path(seg_name))


@pytest.mark.parametrize(
    "call, exc",
    [
        # the name is converted before the size is checked or the name validated
        (lambda: SharedMemory.create(1, 0), TypeError),
        (lambda: SharedMemory.create("/\udcff", 0), UnicodeEncodeError),
        (lambda: SharedMemory.create("x", -1), OverflowError),
        # the optional size is converted before the segment is looked for
        (lambda: SharedMemory.open("/kelparine-test-missing", size="a"), TypeError),
        (lambda: SharedMemory.open("bad", size=-1), OverflowError),
    ],
)
def test_conversion_comes_first(call, exc):
    with pytest.raises(exc):
        call()


@pytest.mark.parametrize("size", [True, Index(4096)], ids=["bool", "index"])
def test_integer_like_sizes_are_accepted(seg_name, size):
    assert SharedMemory.create(seg_name, size).size() == int(size.__index__())
