"""Hostile values: objects whose hooks (__name__, __index__, __float__, __buffer__, __len__,
__iter__, ...) raise, lie or mutate the list being encoded. Whatever they do, write,
write_mixed and push end with the value written or an ordinary exception, never kelparine's
internal-fault PanicException (a BaseException) or a crash, and a call that raises writes
nothing."""

import ctypes

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kelparine
from conftest import remove_quietly, shm_path, unique_name

UNSUPPORTED = ("unsupported type '{}'; supported: bool, int, float, str, bytes, bytearray, and objects exporting a "
               "C-contiguous buffer")


class Boom(Exception):
    pass


class NameOf(type):
    """A metaclass whose classes report whatever `_name` says as their __name__."""

    @property
    def __name__(cls):
        if isinstance(cls._name, type) and issubclass(cls._name, BaseException):
            raise cls._name("no name")
        return cls._name


class SurrogateStr(str):
    pass


@pytest.mark.parametrize(
    "name, shown",
    [(5, "Nameless"), (None, "Nameless"), (Boom, "Nameless"), ("\ud800", "Nameless"), (b"x", "Nameless"),
     (SurrogateStr("Shown"), "Shown"), ("Renamed", "Renamed")],
    ids=repr,
)
@pytest.mark.parametrize("path", ["write", "write_mixed", "push", "push-list"])
def test_an_unusable_type_name_still_gives_the_unsupported_type_error(make_segment, path, name, shown):
    Nameless = NameOf("Nameless", (), {"_name": name})
    _, shm = make_segment(24 + 64)
    view, ring = shm.map(), shm.spsc()
    calls = {"write": view.write, "write_mixed": lambda v: view.write_mixed([1, [v]]), "push": ring.push,
             "push-list": lambda v: ring.push([v])}
    with pytest.raises(ValueError) as info:
        calls[path](Nameless())
    assert info.value.args == (UNSUPPORTED.format(shown),)


def test_a_type_name_that_raises_keyboard_interrupt_passes_it_on(make_segment):
    Nameless = NameOf("Nameless", (), {"_name": KeyboardInterrupt})
    _, shm = make_segment(4 + 64)
    with pytest.raises(KeyboardInterrupt):
        shm.map().write(Nameless())


# ---------------------------------------------------------------------------------------------
# The property: hostile objects built from random hooks


def _hook(action, result):
    """A hook that first raises `result`, or clears or grows the list its object was put into
    (its `victim`), or does nothing, then returns `result` (made anew when it is a lambda)."""

    def hook(self, *args):
        victim = self.__dict__.get("victim", [])
        if action == "raise":
            raise result("hostile")
        if action == "clear":
            victim.clear()
        elif action == "grow" and len(victim) < 50:
            victim.append(0)
        return result() if isinstance(result, type(_hook)) else result

    return hook


ACTIONS = st.sampled_from([None, "clear", "grow"])
NUMBERS = st.sampled_from([5, -(2**63), 2**70, True, 1.5, "7", None, SurrogateStr("x")])
VIEWS = st.sampled_from([
    lambda: memoryview(b"ok"), lambda: memoryview(b"abcd")[::2], lambda: memoryview(bytearray(b"xy")),
    lambda: memoryview(b"\x01").cast("?", []), lambda: memoryview((ctypes.py_object * 1)()),
    lambda: memoryview(b""), lambda: b"not a memoryview",
])
behaviours = st.one_of(st.tuples(ACTIONS, NUMBERS),
                       st.tuples(st.just("raise"), st.sampled_from([Boom, KeyError, OverflowError, MemoryError]))
                       ).map(lambda spec: _hook(*spec))
buffer_hooks = st.one_of(st.tuples(ACTIONS, VIEWS), st.tuples(st.just("raise"), st.sampled_from([Boom, BufferError]))
                         ).map(lambda spec: _hook(*spec))
HOOKS = {"__index__": behaviours, "__float__": behaviours, "__int__": behaviours, "__len__": behaviours,
         "__iter__": behaviours, "__getitem__": behaviours, "__buffer__": buffer_hooks,
         "__release_buffer__": behaviours}
names = st.sampled_from(["Hostile", 5, None, Boom, "\ud800"])
BASES = {object: lambda c: c(), int: lambda c: c(3), float: lambda c: c(0.5), str: lambda c: c("s"),
         bytes: lambda c: c(b"b"), bytearray: lambda c: c(b"ba"), list: lambda c: c([1, b"x"]),
         tuple: lambda c: c((2, "t"))}


@st.composite
def hostile_objects(draw):
    base = draw(st.sampled_from(list(BASES)))
    chosen = draw(st.lists(st.sampled_from(sorted(HOOKS)), max_size=3, unique=True))
    namespace = {hook: draw(HOOKS[hook]) for hook in chosen}
    namespace["_name"] = draw(names)
    # A plain repr, so that hypothesis can report a failing example without calling the hooks.
    shown = f"<hostile {base.__name__} with {sorted(namespace)}>"
    namespace["__repr__"] = lambda self: shown
    if base is object:
        cls = NameOf("Hostile", (base,), namespace)
    else:  # a metaclass cannot be combined with every builtin base: __name__ stays honest there
        namespace.pop("_name")
        cls = type("Hostile", (base,), namespace)
    return BASES[base](cls)


plain = st.one_of(st.integers(-5, 5), st.floats(allow_nan=False), st.text(max_size=3), st.binary(max_size=3))
elements = st.one_of(hostile_objects(), plain)


class HostileList(list):
    def __repr__(self):
        return f"HostileList({list.__repr__(self)})"

    def __len__(self):
        raise Boom("len")

    def __iter__(self):
        raise Boom("iter")

    def __getitem__(self, index):
        return "lie"


def _contents(name):
    with open(shm_path(name), "rb") as segment:
        return segment.read()


@pytest.fixture(scope="module")
def targets():
    view_name, ring_name = unique_name("hostile-view"), unique_name("hostile-ring")
    view = kelparine.SharedMemory.create(view_name, 4 + 4096).map()
    ring = kelparine.SharedMemory.create(ring_name, 24 + 4096).spsc()
    yield (view_name, view), (ring_name, ring)
    remove_quietly(view_name)
    remove_quietly(ring_name)


def _settles(call, names, view):
    """Runs `call`: it writes or raises an Exception (anything else fails the test); a raise
    leaves the segments and the cursor as they were."""
    before = [_contents(name) for name in names], view.tell()
    try:
        call()
    except Exception:
        assert ([_contents(name) for name in names], view.tell()) == before


# Hooks that return a bool from __index__ or raise in __release_buffer__ warn; that is theirs.
@pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture,
                                                                    HealthCheck.too_slow])
@given(items=st.lists(st.one_of(elements, st.lists(elements, max_size=3)), max_size=4),
       container=st.sampled_from([list, tuple, HostileList]))
def test_hostile_values_never_reach_the_internal_fault_path(targets, items, container):
    (view_name, view), (ring_name, ring) = targets
    names = [view_name, ring_name]
    for item in items:
        for obj in item if type(item) is list else [item]:
            if hasattr(obj, "__dict__"):
                obj.victim = items
    view.seek(0)
    while ring.pop() is not None:
        pass
    for item in list(items):
        _settles(lambda: view.write(item, 0), names, view)
        _settles(lambda: ring.push(item), names, view)
    sequence = container(items)
    _settles(lambda: view.write_mixed(sequence, 0), names, view)
    _settles(lambda: view.write_mixed(sequence), names, view)
    _settles(lambda: ring.push(sequence), names, view)
    _settles(lambda: ring.push([x for x in items if type(x) is not list]), names, view)
    assert (view.reader_count(), view.is_write_locked()) == (0, False)
