"""Calls of SymDict and SymList subclasses made in Python, which take the
class's own vector call once constructed: every call must do what
`type.__call__` does, overrides made before or after included."""

import threading

import pytest

import vesk_core._native as native
from vesk.symbolic.containers import Dict, List
from races import started

KINDS = ("dict", "list")


def kind_of(kind):
    """The class, positional and keyword arguments of a call of `kind`."""
    if kind == "dict":
        return Dict, ({"a": 1, "b": "x"},), {
            "value_spec": native.Dict([("a", native.Int()), ("b", native.Str())])}
    return List, ([1, 2],), {"value_spec": native.List(native.Int())}


def fresh_subclass(base, **namespace):
    return type("Sub", (base,), namespace)


def outcome(call):
    try:
        made = call()
    except Exception as error:  # noqa: BLE001  (the outcome compared is the error)
        return type(error), str(error)
    return type(made), made, made.topo_path, made.topo_parent


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("args, kwargs", [
    ("same", "same"),
    ("same", {"value_spec": "int"}),      # refused spec
    ("same", {"no_such": 1, "value_spec": "same"}),
    ((1, 2, 3), {}),                       # too many positionals
    ((), {}),
])
def test_the_fast_call_answers_as_type_call(kind, args, kwargs):
    base, given_args, given_kwargs = kind_of(kind)
    args = given_args if args == "same" else args
    if kwargs == "same":
        kwargs = given_kwargs
    elif kwargs.get("value_spec") == "same":
        kwargs = dict(kwargs, value_spec=given_kwargs["value_spec"])
    elif kwargs.get("value_spec") == "int":
        kwargs = {"value_spec": native.Int()}
    sub = fresh_subclass(base)
    for _ in range(2):   # the first call may be the one that offers the fast call
        assert outcome(lambda: sub(*args, **kwargs)) == outcome(
            lambda: type.__call__(sub, *args, **kwargs))


@pytest.mark.parametrize("kind", KINDS)
def test_overrides_made_after_the_first_call_are_honoured(kind):
    base, args, kwargs = kind_of(kind)
    sub = fresh_subclass(base)
    sub(*args, **kwargs)
    seen = []

    def init(self, *a, **k):
        seen.append("init")
        base.__init__(self, *a, **k)
    sub.__init__ = init
    made = sub(*args, **kwargs)
    assert seen == ["init"] and type(made) is sub

    def new(cls, *a, **k):
        seen.append("new")
        return base.__new__(cls)
    sub.__new__ = new
    sub(*args, **kwargs)
    assert seen == ["init", "new", "init"]

    del sub.__init__, sub.__new__
    assert len(sub(*args, **kwargs)) == len(args[0]) and seen == ["init", "new", "init"]


@pytest.mark.parametrize("kind", KINDS)
def test_new_answering_another_object_and_a_metaclass_call(kind):
    base, args, kwargs = kind_of(kind)
    other = object()
    odd = fresh_subclass(base, __new__=lambda cls, *a, **k: other)
    assert odd(*args, **kwargs) is other

    class Meta(type):
        def __call__(cls, *a, **k):
            return ("meta", a, k)

    sub = Meta("Sub", (base,), {})
    assert sub(*args, **kwargs) == ("meta", args, kwargs)
    # A subclass of that class keeps the metaclass's call.
    assert Meta("Deeper", (sub,), {})(1) == ("meta", (1,), {})


@pytest.mark.parametrize("kind", KINDS)
def test_threads_constructing_a_new_subclass_at_once(kind):
    base, args, kwargs = kind_of(kind)
    sub = fresh_subclass(base)
    barrier = threading.Barrier(8)
    made = [[] for _ in range(8)]

    def construct(out):
        barrier.wait()
        for _ in range(200):
            out.append(sub(*args, **kwargs))

    with started([threading.Thread(target=construct, args=(out,)) for out in made], barrier):
        pass
    expected = sub(*args, **kwargs)
    for out in made:
        assert len(out) == 200
        assert all(type(x) is sub and x == expected and x.topo_parent is None for x in out)
