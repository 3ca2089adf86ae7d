"""Hostile values: objects whose hooks raise or lie. Whatever they do, write, write_mixed and
push end with the value written or an ordinary exception, never kelparine's internal-fault
PanicException (a BaseException)."""

import pytest

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
