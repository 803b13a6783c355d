"""The native class call: for every kind of class, `call_class(cls, *args)`
answers what `cls(*args)` answers, or raises what it raises."""

import abc
import gc

import pytest

hooks = pytest.importorskip("vesk_core._native_testhooks")


class Update:
    __slots__ = ("a", "b")

    def __init__(self, a, b):
        self.a, self.b = a, b


class Inherited(Update):
    __slots__ = ()


class Meta(type):
    def __call__(cls, *args):
        return ("meta", args)


def init_class(init, base=object, **namespace):
    return type(base)("C", (base,), {"__init__": init, **namespace})


def refuse(self, a, b):
    raise ValueError(f"refused {a}")


def abstract(base=object):
    cls = init_class(lambda self, a, b: None, base)
    cls.__abstractmethods__ = frozenset({"run"})  # abstract without ABCMeta
    return cls


CLASSES = [
    Update, Inherited, init_class(lambda self, a, b: 1), init_class(refuse),
    type("NoInit", (), {}),
    init_class(refuse, __new__=lambda cls, a, b: ("made", a, b)),
    Meta("M", (), {"__init__": refuse}),
    abstract(), abstract(abc.ABC),
    init_class(type("Init", (), {"__call__": refuse})()),  # not a function
    init_class(lambda self, a, b: None, __new__=object.__new__),  # object's, named
    type("NewOnly", (), {"__new__": object.__new__}),
    dict, tuple, (lambda a, b: [a, b]),
]


def _answer(fn):
    """What a call gives: a comparable view of the result, or the error."""
    try:
        out = fn()
    except Exception as e:  # noqa: BLE001 - the error is the answer
        return ("error", type(e), str(e))
    if isinstance(out, (tuple, dict, list)):
        return ("value", type(out), out)
    return ("value", type(out), {s: getattr(out, s) for s in ("a", "b") if hasattr(out, s)})


@pytest.mark.parametrize("cls", CLASSES)
@pytest.mark.parametrize("args", [(1, 2), (1,), (1, 2, 3)])
def test_answers_as_the_class_call(cls, args):
    assert _answer(lambda: hooks.call_class(cls, *args)) == _answer(lambda: cls(*args))


def test_a_replaced_init_is_the_one_called():
    cls = init_class(lambda self, a: setattr(self, "a", a))
    assert hooks.call_class(cls, 1).a == 1
    cls.__init__ = lambda self, a: setattr(self, "a", -a)
    assert hooks.call_class(cls, 1).a == -1
    del cls.__init__
    with pytest.raises(TypeError, match="takes no arguments"):
        hooks.call_class(cls, 1)


def test_the_init_slot_decides_not_the_namespace():
    # A function put into the class's namespace without the class noticing
    # leaves its init slot as it was: the class call never runs it.
    def init(self, a):
        self.a = a

    for base in (object, Update):
        cls = type(base)("C", (base,), {})
        gc.get_referents(cls.__dict__)[0]["__init__"] = init
        cls.other = 1  # drops the lookup caches, not the slot
        for args in [(1,), (1, 2)]:
            assert _answer(lambda: hooks.call_class(cls, *args)) == _answer(lambda: cls(*args))


def test_a_base_whose_init_changes_is_seen_by_its_subclasses():
    base = init_class(lambda self, a: setattr(self, "a", a))
    sub = type("Sub", (base,), {})
    assert hooks.call_class(sub, 1).a == 1
    base.__init__ = lambda self, a: setattr(self, "a", a * 10)
    assert hooks.call_class(sub, 1).a == 10
    sub.__init__ = lambda self, a: setattr(self, "a", a * 100)
    assert hooks.call_class(sub, 1).a == 100
