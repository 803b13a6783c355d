"""The native class call: for every kind of class, `call_class(cls, *args)`
answers what `cls(*args)` answers, or raises what it raises."""

import abc

import pytest

hooks = pytest.importorskip("vesk_core._native_testhooks")


class Update:
    __slots__ = ("a", "b")

    def __init__(self, a, b):
        self.a, self.b = a, b


class Inherited(Update):
    __slots__ = ()


class WithDict:
    def __init__(self, a, b):
        self.a, self.b = a, b


class ReturnsValue:
    def __init__(self, a, b):
        return 1


class Raises:
    def __init__(self, a, b):
        raise ValueError(f"refused {a}")


class NoInit:
    pass


class OwnNew:
    def __new__(cls, a, b):
        return ("made", a, b)

    def __init__(self, a, b):
        raise AssertionError("__init__ of a foreign object")


class Meta(type):
    def __call__(cls, *args):
        return ("meta", args)


class WithMeta(metaclass=Meta):
    def __init__(self, a, b):
        raise AssertionError("metaclass __call__ bypassed")


class Abstract(abc.ABC):
    def __init__(self, a, b):
        pass

    @abc.abstractmethod
    def run(self): ...


class CallableInit:
    class _Init:
        def __call__(self, *args):
            raise AssertionError("a callable object in the class is no method")

    __init__ = _Init()


def _answer(fn):
    """What a call gives: a comparable view of the result, or the error."""
    try:
        out = fn()
    except Exception as e:  # noqa: BLE001 - the error is the answer
        return ("error", type(e), str(e))
    state = getattr(out, "__dict__", None) or {
        s: getattr(out, s) for s in getattr(type(out), "__slots__", ())
    }
    if isinstance(out, (tuple, dict, list)):
        state = out
    return ("value", type(out), state)


@pytest.mark.parametrize("cls", [
    Update, Inherited, WithDict, ReturnsValue, Raises, NoInit, OwnNew, WithMeta,
    Abstract, CallableInit, dict, tuple, (lambda a, b: [a, b]),
])
@pytest.mark.parametrize("args", [(1, 2), (1,), (1, 2, 3)])
def test_answers_as_the_class_call(cls, args):
    assert _answer(lambda: hooks.call_class(cls, *args)) == _answer(lambda: cls(*args))


def test_a_replaced_init_is_the_one_called():
    class Changing:
        def __init__(self, a):
            self.a = a

    assert hooks.call_class(Changing, 1).a == 1
    Changing.__init__ = lambda self, a: setattr(self, "a", -a)
    assert hooks.call_class(Changing, 1).a == -1
    del Changing.__init__
    with pytest.raises(TypeError, match="takes no arguments"):
        hooks.call_class(Changing, 1)
