"""Callable and Functor: construction, type arguments, copies, signature checks."""

import copy
import threading
import typing

import pytest

import vesk_core._native as native
from fresh import run_fresh
from leaks import assert_no_leak
from races import started
from vesk.typing import annotation as stand_in
from vesk.typing.handles import Functor as FunctorBase

Callable, Functor, KeyPath = native.Callable, native.Functor, native.KeyPath


class Tracked:

    def __init__(self, log, hook=None):
        self.log, self.hook = log, hook

    @property
    def __class__(self):
        self.log.append(self)
        if self.hook:
            self.hook()
        return Tracked


class Sub(Callable):
    def __new__(cls, *args, tag=None, **kwargs):
        return super().__new__(cls, *args, **kwargs)

    def __init__(self, *args, tag=None, **kwargs):
        self.tag = tag


def test_classes_and_python_subclass():
    with pytest.raises(TypeError):
        type("F", (Functor,), {})
    spec = Sub([int], tag="t")
    assert type(spec) is Sub and spec.tag == "t" and spec.apply(len) is len
    made = [copy.copy(spec), copy.deepcopy(spec), Sub[[int], int], Sub.from_json({}),
            Sub([int], transform=lambda f: f).skip_user_transform]
    assert {type(m) for m in made} == {Callable}


def test_conversions_and_text():
    name = type("Name", (str,), {})("y")
    given = native.Int(min_value=1)
    spec = Callable([int, given], [("x", str), (name, bool)], str, callable_type=42,
                    strict=True)
    assert repr(spec) == ("Callable(args=[Int(), Int(min=1)], kw=[('x', Str()), ('y', Bool())], "
                          "returns=Str(), strict=True)")
    assert spec.args[1] is given and spec.kw[1][0] is name and spec.value_type == 42


@pytest.mark.parametrize("cls", [Callable, Functor])
@pytest.mark.parametrize("arg, value", [("args", (int,)), ("kw", {"x": int})])
def test_bad_arguments(cls, arg, value):
    want = ("'args' should be a list of ValueSpec objects" if arg == "args" else
            "'kw' should be a list of (name, value_spec) tuples")
    with pytest.raises(TypeError) as info:
        cls(**{arg: value})
    assert str(info.value) == f"{want}. Encountered: {value!r}."


def test_kw_checked_whole_then_converted_from_the_checked_pairs():
    log = []
    positional = Tracked(log)
    with pytest.raises(TypeError, match="^'kw' should be"):
        Callable(args=[positional], kw=[("a", Tracked(log)), (1, int)])
    assert log and all(seen is positional for seen in log)

    # Converting the first entry rewrites or empties the caller's list: the
    # later entries are still the checked ones, nothing unchecked slips in.
    for rewrite in (lambda: kw.__setitem__(slice(1, None), ["bad", ("z", object)]),
                    lambda: kw.clear()):
        kw = []
        kw[:] = [("a", Tracked(log, rewrite)), ("b", int), ("c", str)]
        spec = Callable(kw=kw)
        assert repr(spec.kw[1:]) == "[('b', Int()), ('c', Str())]" and spec.kw is not kw


def test_failures_propagate():
    class Boom(Exception):
        pass

    def boom():
        raise Boom

    class Falsy:
        def __bool__(self):
            raise Boom

    for kwargs in ({"args": [Tracked([], boom)]}, {"kw": [("x", Tracked([], boom))]},
                   {"returns": Tracked([], boom)}, {"kw": Falsy()}):
        with pytest.raises(Boom):
            Callable(**kwargs)
    with pytest.raises(TypeError, match="only takes 1 positional"):
        Callable([int, int], default=len)


@pytest.mark.parametrize("cls", [Callable, Functor])
@pytest.mark.parametrize("type_args, want_args, want_returns", [
    (([int, str], bool), [int, str], bool), ((..., int), [], int), ((int, str), [int], str), (([], None), [], type(None))])
def test_type_args(cls, type_args, want_args, want_returns):
    spec = cls[type_args]
    assert type(spec) is cls and spec.kw == []
    want = [stand_in.from_annotation(a, True) for a in [*want_args, want_returns]]
    assert repr([*spec.args, spec.return_value]) == repr(want)
    assert repr(cls.with_type_args(type_args)) == repr(spec)


@pytest.mark.parametrize("cls", [Callable, Functor])
@pytest.mark.parametrize("type_args", [(int, str, bool)])
def test_type_args_count(cls, type_args):
    shown = type_args if isinstance(type_args, tuple) else (type_args,)
    with pytest.raises(TypeError) as info:
        cls[type_args]
    assert str(info.value) == (
        f"`vk.typing.{cls.__name__}` requires 2 type arguments. Encountered: {shown}")


def test_annotations(monkeypatch):
    assert Callable([int], returns=bool).annotation == typing.Callable[[int], bool]
    assert Callable([int], [("x", int)]).annotation == typing.Callable[..., None]
    assert Functor([int]).annotation is FunctorBase
    monkeypatch.setattr(typing, "TYPE_CHECKING", True)
    assert Callable[[int], str] == typing.Callable[[int], str]
    assert Functor[[int], str] is FunctorBase


def named(name, kind="type"):
    return {"_type": kind, "name": f"builtins.{name}"}


@pytest.mark.parametrize("cls", [Callable, Functor])
def test_from_json(cls):
    spec = cls.from_json({"_type": "vesk.typing.Str", "args": [named("int")], "kw": [["__tuple__", "x", named("str")]],
                          "returns": named("bool"), "callable_type": named("object"),
                          "transform": named("len", "function"), "is_noneable": True, "strict": False})
    assert type(spec) is cls and spec.transform is len
    assert repr(spec) == (f"{cls.__name__}(args=[Int()], kw=[('x', Str())], returns=Bool(), "
                          "noneable=True, strict=False)")
    assert spec.value_type is (FunctorBase if cls is Functor else object)
    empty = cls.from_json({k: None for k in ("args", "kw", "returns", "transform")})
    assert repr(empty) == f"{cls.__name__}()" and empty.transform is None


@pytest.mark.parametrize("cls", [Callable, Functor])
def test_copies(cls):
    element = native.Int()
    spec = cls([element, element], [("x", element)], bool, transform=lambda f: f)
    memo = {}
    deep = copy.deepcopy(spec, memo)
    assert type(deep) is cls and copy.deepcopy(spec, memo) is deep
    assert deep.args is not spec.args and deep.args[0] is not element
    assert deep.args[0] is deep.args[1] is deep.kw[0][1]
    assert deep.return_value is not spec.return_value and repr(deep) == repr(spec)


def test_functor_skip_user_transform():
    spec = Functor([int], transform=lambda f: f)
    twin = spec.skip_user_transform
    assert type(twin) is Callable and twin.transform is None and twin.args is spec.args
    assert twin.value_type is FunctorBase and repr(twin) == "Functor(args=[Int()])"
    plain = Functor()
    assert plain.skip_user_transform is plain


def two(a, b):
    return a


def keyword_only(a, *, x, y=1):
    return a


class Holder:
    def method(self, a):
        return a


class Made:
    def __init__(self, a, *, x):
        self.a = a


SIGNATURES = [
    ([int, int], [("b", int)], two, None),
    ([int] * 5, [], lambda *args: args, None),
    ([int], [("anything", int)], lambda a, **kwargs: a, None),
    ([int], [("x", int), ("y", int)], keyword_only, None),
    ([int, int], [], lambda a, x, /: a, None),
    ([int], [], Holder().method, None),
    ([int], [("x", int)], Made, None),
    ([int, int, int], [], two, "only takes 2 positional arguments while 3"),
    ([int], [("x", int)], two, "Keyword argument 'x' does not exist"),
    ([], [("x", int)], lambda a, x, /: a, "Keyword argument 'x' does not exist"),
    ([int, int], [], len, "only takes 1 positional"),
    ([], [], 3, "Value is not callable: 3"),
]


@pytest.mark.parametrize("args, kw, value, message", SIGNATURES)
def test_signature_checks(args, kw, value, message):
    spec = Callable(args, kw)
    if message is None:
        assert spec.apply(value) is value
        return
    with pytest.raises(TypeError, match=message) as info:
        spec.apply(value, root_path=KeyPath.parse("a[2].b"))
    assert str(info.value).endswith("(path=a[2].b)")


def test_value_types():
    class Task(FunctorBase):
        def __call__(self, a):
            return a

    assert Functor([int]).apply(Task()) is not None
    with pytest.raises(TypeError, match=r"^Expect .*Functor.* but encountered .*\(path=x\)$"):
        Functor([int]).apply(len, root_path=KeyPath.parse("x"))
    with pytest.raises(TypeError, match="only takes 1 positional"):
        Functor([int, int]).apply(Task())
    with pytest.raises(TypeError, match="^Expect"):
        Callable(callable_type=Task).apply(len)


def test_fresh_interpreter():
    run_fresh(
        """
        import vesk.typing
        import vesk_core._native as native
        calls = []
        handles = vesk.typing.bridge_handles()
        handles["callable_validate"] = lambda *a: calls.append(a)
        native._install_typing_bridge(**handles)
        spec = native.Callable([int], [("x", str)], bool)
        assert spec.apply(len, root_path=native.KeyPath.parse("p.q[1]")) is len
        (args, kw, returns, text, path, value), = calls
        assert args is spec.args and kw is spec.kw and returns is spec.return_value
        assert text == repr(spec) and path == "p.q[1]" and value is len
        native.Callable().apply(len)
        assert calls[1][2] is None and calls[1][4] == ""
        """
    )


def test_threads_build_from_a_changing_kw_list():
    kw = [("a", int), ("b", str)]
    valid = {"('a', Int())", "('b', Str())", "('c', Bool())"}
    stop = threading.Event()

    def rewrite():
        for i in range(10**9):
            if stop.is_set():
                return
            kw[:] = [("a", int), ("b", str)] if i % 2 else [("c", bool), 7]

    def build(slot):
        seen = []
        for _ in range(150):
            try:
                seen.append([repr(e) for e in Callable(kw=kw).kw])
            except TypeError as e:
                seen.append(str(e).startswith("'kw' should be"))
        results[slot] = seen

    results = [None] * 6
    writer = threading.Thread(target=rewrite)
    builders = [threading.Thread(target=build, args=(i,)) for i in range(len(results))]
    with started([writer, *builders], stop):
        for t in builders:
            t.join()
        stop.set()
    for seen in results:
        assert len(seen) == 150
        for one in seen:
            assert one is True or (len(one) <= 2 and set(one) <= valid)


def test_no_reference_leaks():
    def paths():
        spec = Callable([int], [("x", str)], bool, transform=lambda f: f)
        copy.deepcopy(spec).skip_user_transform
        repr(Functor[[int], None])
        spec.apply(lambda a, **kw: a)

    assert_no_leak(paths)


def test_edited_keyword_list_is_refused_by_compatibility():
    # `kw` hands out the spec's own list; an entry that is not a pair must
    # not be read as one.
    spec = Callable(kw=[("a", native.Int())])
    spec.kw.append("not a pair")
    other = Callable(kw=[("a", native.Int()), ("b", native.Int())])
    with pytest.raises(TypeError, match="keyword entries must be"):
        spec.is_compatible(other)
