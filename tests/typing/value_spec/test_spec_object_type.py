"""Object and Type: construction, forward references, getters, apply, JSON, text."""

import threading
import typing

import pytest

import vesk_core._native as native
from races import started
from vesk.typing import forward_ref
from vesk.typing.forward_ref import ForwardRef
from vesk_core._native import Object, Type

PATH = native.KeyPath.parse("a[2].b")


class Foo:
    pass


class SubFoo(Foo):
    pass


REF = ForwardRef("Foo")


def unchecked():
    pass


unchecked.__no_type_check__ = True


@pytest.fixture
def registered():
    done = []

    def register(cls):
        forward_ref.register_forward_ref_target([], cls)
        done.append(cls)

    yield register
    for cls in done:
        forward_ref.forget_forward_ref_target(cls)




@pytest.mark.parametrize(
    "t, value_type",
    [(Foo, Foo), ("Foo", "Foo"), (unchecked, object), (list[int], list[int]), (REF, REF)],
)
def test_object_accepts(t, value_type):
    spec = Object(t)
    assert spec._value_type is value_type or spec._value_type == value_type
    assert bool(spec.forward_refs) == isinstance(t, (str, ForwardRef))


@pytest.mark.parametrize(
    "t, error",
    [(None, '"cls" for Object spec cannot be None.'), (object, "<class 'object'> is too general for Object spec."),
     (3, '"cls" for Object spec should be a type or str. Encountered: 3.')],
)
def test_object_refuses(t, error):
    with pytest.raises(TypeError) as err:
        Object(t)
    assert str(err.value) == error




def test_forward_reference_is_resolved_at_every_use(registered):
    class Later:
        __schema__ = "later-schema"

    spec = Object("Later")
    with pytest.raises(TypeError, match="does not name a known class"):
        spec.cls
    assert spec.type_resolved is False
    assert spec.apply(3) == 3
    registered(Later)
    assert spec.cls is Later and spec.schema == "later-schema"
    assert spec.type_resolved is True
    with pytest.raises(TypeError, match="Expect"):
        spec.apply(3, root_path=PATH)
    later = Later()
    assert spec.apply(later) is later
    forward_ref.forget_forward_ref_target(Later)
    with pytest.raises(TypeError):  # nothing was cached
        spec.cls


def test_readers_follow_a_reference_that_comes_and_goes():
    class Flicker:
        pass

    spec = Object("Flicker")
    seen = [set() for _ in range(4)]
    stop = threading.Event()

    ready = threading.Barrier(5)

    def read(slot):
        first = True
        while first or not stop.is_set():
            try:
                seen[slot].add(spec.cls)
            except TypeError:
                seen[slot].add(TypeError)
            if first:   # every reader has read once before the flicker starts
                first = False
                ready.wait()

    readers = [threading.Thread(target=read, args=(i,)) for i in range(4)]
    with started(readers, stop, ready):
        ready.wait()
        for _ in range(200):
            forward_ref.register_forward_ref_target([], Flicker)
            forward_ref.forget_forward_ref_target(Flicker)
        stop.set()
    assert all(outcomes <= {Flicker, TypeError} and outcomes for outcomes in seen)
    with pytest.raises(TypeError):  # the last state: not registered
        spec.cls




class RaisingSchema(type):
    error = AttributeError

    @property
    def __schema__(cls):
        raise cls.error("no schema here")


def test_schema_getter():

    class Missing(metaclass=RaisingSchema):
        pass

    assert Object(Missing).schema is None


def test_schema_getter_lets_other_errors_through():
    class Broken(metaclass=RaisingSchema):
        error = RuntimeError

    with pytest.raises(RuntimeError, match="no schema here"):
        Object(Broken).schema




class Partial:
    __vesk_maybe_partial__ = True

    def __init__(self, partial):
        self.sym_partial = partial

    def __str__(self):
        return "Partial()"


class SubPartial(Partial):
    pass


@pytest.mark.parametrize("cls", [Partial, SubPartial])
def test_partial_object_is_refused(cls):
    spec = Object(Partial)
    with pytest.raises(ValueError) as err:
        spec.apply(cls(True), root_path=PATH)
    assert str(err.value) == "Object Partial() is not fully bound. (path=a[2].b)"
    value = cls(True)
    assert spec.apply(value, allow_partial=True) is value
    whole = cls(False)
    assert spec.apply(whole) is whole


def test_partial_read_errors_propagate():
    class Bad(Partial):
        @property
        def sym_partial(self):
            raise KeyError("boom")

        def __init__(self):
            pass

    with pytest.raises(KeyError):
        Object(Partial).apply(Bad())


def test_object_apply_types():
    spec = Object(Foo)
    sub = SubFoo()
    assert spec.apply(sub) is sub
    with pytest.raises(TypeError) as err:
        spec.apply(3, root_path=PATH)
    assert str(err.value) == (
        f"Expect {Foo} but encountered <class 'int'>: 3. (path=a[2].b)"
    )

    class Accepting:
        @classmethod
        def __vk_accept__(cls, value):
            return cls() if value == "make" else NotImplemented

    assert type(Object(Accepting).apply("make")) is Accepting




@pytest.mark.parametrize("t", [3, ForwardRef("Foo"), None])
def test_type_refuses(t):
    with pytest.raises(TypeError) as err:
        Type(t)
    assert str(err.value) == f"{t!r} is not a type."


def test_type_checks_subclasses(registered):
    spec = Type(Foo)
    assert spec.apply(SubFoo) is SubFoo
    with pytest.raises(ValueError) as err:
        spec.apply(int, root_path=PATH)
    assert str(err.value) == f"{int!r} is not a subclass of {Foo!r} (path=a[2].b)"
    with pytest.raises(TypeError, match="Expect"):
        spec.apply(3)
    assert Type(typing.Any).apply(int) is int

    later = Type("Foo")
    assert later.apply(int) is int  # unresolved: not checked
    registered(Foo)
    with pytest.raises(ValueError, match="is not a subclass of"):
        later.apply(int)
    assert later.apply(SubFoo) is SubFoo




def test_type_args():
    assert Object[Foo].cls is Foo and Object.with_type_args(Foo).cls is Foo
    assert Type[int].type is int
    for args, shown in [((int, str), "(<class 'int'>, <class 'str'>)")]:
        with pytest.raises(TypeError) as err:
            Type[args]
        assert str(err.value) == f"`vk.typing.Type` requires 1 type argument. Encountered: {shown}."
        with pytest.raises(TypeError) as err:
            Object[args]
        assert str(err.value) == f"`vk.typing.Object` requires 1 type argument. Encountered: {shown}"



INT = {"_type": "type", "name": "builtins.int"}


@pytest.mark.parametrize(
    "cls, json_value, check",
    [(Object, {"t": "Foo", "is_noneable": True}, lambda s: s._value_type == "Foo" and s.is_noneable),
        (Object, {"t": INT, "transform": {"_type": "function", "name": "builtins.abs"}}, lambda s: s.transform is abs),
        (Type, {"t": INT, "strict": True, "transform": "ignored", "default": INT},
         lambda s: s.type is int and s.strict is True and s.transform is None
         and s.default is int)],
)
def test_from_json(cls, json_value, check):
    spec = cls.from_json(json_value)
    assert type(spec) is cls and check(spec)


@pytest.mark.parametrize("cls", [Object, Type])
def test_from_json_errors(cls):
    with pytest.raises(ValueError) as err:
        cls.from_json({"default": 1})
    assert str(err.value) == f"{cls.__name__} json missing 't'."


@pytest.mark.parametrize(
    "make, text",
    [(lambda: Object(Foo), "Object(Foo)"), (lambda: Object("Named"), "Object(Named)"),
     (lambda: Object(Foo, is_noneable=True), "Object(Foo, noneable=True)"), (lambda: Type(int), "Type(<class 'int'>)"),
     (lambda: Type(int, strict=False), "Type(<class 'int'>, strict=False)")],
)
def test_text_forms(make, text):
    assert repr(make()) == text


def test_no_reference_leaks():
    from leaks import assert_no_leak

    def once():
        for t in (Foo, "Foo", unchecked, list[int]):
            repr(Object(t))
        Object(Foo).apply(SubFoo())
        for value in (Partial(True), 3):
            try:
                Object(Partial).apply(value)
            except (TypeError, ValueError):
                pass
        Type(Foo).apply(SubFoo)
        for t, value in ((Foo, int), (3, None)):
            try:
                Type(t).apply(value)
            except (TypeError, ValueError):
                pass

    assert_no_leak(once, calls=50)
