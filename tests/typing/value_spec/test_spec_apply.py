"""Applying values with the scalar specs: the road a value takes, each refusal and its path."""

import pytest

import vesk_core._native as native
from vesk.typing.handles import FROZEN_PLACEHOLDER
from vesk_core import KeyPath
from vesk_core._native import Any, Bool, Enum, Float, Int, Str
MISSING = native.missing_value_singleton()

PATH = KeyPath.parse("a.b[2]")


class Recorder:
    def __init__(self, fn=lambda v: v):
        self.calls = []
        self.fn = fn

    def __call__(self, value):
        self.calls.append(value)
        return self.fn(value)


@pytest.mark.parametrize("root_path, text", [(None, ""), (PATH, "a.b[2]"), ("x.y", "x.y")])
def test_required_and_none_messages_quote_the_path_and_the_spec(root_path, text):
    with pytest.raises(ValueError) as e:
        Int(min_value=0).apply(MISSING, root_path=root_path)
    assert str(e.value) == f"Required value is not specified. (Path='{text}', ValueSpec=Int(min=0))"
    with pytest.raises(ValueError) as e:
        Str().apply(None, root_path=root_path)
    assert str(e.value) == f"Value cannot be None. (Path='{text}', ValueSpec=Str())"


def test_missing_value_with_allow_partial_is_a_new_missing_value_never_the_default():
    given = native.MissingValue()
    out = Int(default=4).apply(given, allow_partial=True)
    assert isinstance(out, native.MissingValue) and out is not given


def test_a_frozen_spec_answers_with_its_default_and_refuses_any_other_value():
    spec = Str(default="s", frozen=True)
    default = spec.default
    assert spec.apply(MISSING) is default
    assert spec.apply("".join(["s"])) is default
    other = "t"
    with pytest.raises(ValueError) as e:
        spec.apply(other, root_path=PATH)
    assert str(e.value) == (
        f"Frozen field is not assignable. (Path='a.b[2]', ValueSpec={spec!r}, "
        f"AssignedValue={other!r})"
    )
    # Frozen comes first: neither None nor a value of the wrong type gets further.
    with pytest.raises(ValueError, match="^Frozen field"):
        spec.apply(None)


def test_a_frozen_spec_whose_default_is_the_placeholder_applies_as_unfrozen():
    spec = Any(default=FROZEN_PLACEHOLDER, frozen=True)
    assert spec.frozen
    assert spec.apply(5) == 5
    with pytest.raises(ValueError, match="^Required value"):
        spec.apply(MISSING)


@pytest.mark.parametrize(
    "make, value, expected",
    [(lambda: Int(), True, True), (lambda: Float(), 1, 1.0), (lambda: Bool(strict=True), True, True),
     (lambda: Int(min_value=0), 10**30, 10**30), (lambda: Int(strict=True), True, "<class 'int'>"),
     (lambda: Float(strict=True), 1, "<class 'float'>"), (lambda: Int(), "3", "<class 'int'>"),
     (lambda: Bool(), 1, "<class 'bool'>")],
)
def test_values_pass_are_coerced_or_are_refused_by_type(make, value, expected):
    if isinstance(expected, str):
        with pytest.raises(TypeError) as e:
            make().apply(value, root_path=PATH)
        assert str(e.value) == (
            f"Expect {expected} but encountered {type(value)!r}: {value}. (path=a.b[2])"
        )
        return
    out = make().apply(value)
    assert out == expected and type(out) is type(expected)


class Token:
    def __init__(self, name):
        self.name = name

    def __eq__(self, other):
        return isinstance(other, Token) and other.name == self.name

    def __repr__(self):
        return f"Token({self.name})"

    @classmethod
    def __vk_accept__(cls, value):
        return cls(value) if isinstance(value, str) else NotImplemented


def test_the_accept_hook_of_the_value_type_coerces_or_declines():
    spec = Enum([Token("a"), Token("b")])
    assert spec.apply("a") == Token("a")
    with pytest.raises(ValueError) as e:
        spec.apply("c", root_path=PATH)
    assert str(e.value) == "Value Token(c) is not in candidate list [Token(a), Token(b)]. (path=a.b[2])"
    # NotImplemented from every target: the type error.
    with pytest.raises(TypeError, match=r"^Expect .*Token.* but encountered <class 'int'>: 3\. "):
        spec.apply(3)

    class Strict(Token):
        @classmethod
        def __vk_accept__(cls, value):
            raise LookupError("no")

    with pytest.raises(LookupError, match="^no$"):
        Enum([Strict("a")]).apply("a")


@pytest.mark.parametrize(
    "make, value, message",
    [(lambda: Int(min_value=0, max_value=10), -1, "Value -1 is out of range (min=0, max=10)."),
     (lambda: Str(regex=r"\d+"), "ab", "String 'ab' does not match regular expression '\\\\d+'."),
     (lambda: Enum([1, 2]), 3, "Value 3 is not in candidate list [1, 2].")],
)
@pytest.mark.parametrize("root_path, text", [(None, ""), (PATH, "a.b[2]")])
def test_constraint_failures_append_the_path(make, value, message, root_path, text):
    with pytest.raises(ValueError) as e:
        make().apply(value, root_path=root_path)
    assert str(e.value) == f"{message} (path={text})"


class Odd(int):
    def __lt__(self, other):
        return True

    def __gt__(self, other):
        raise ArithmeticError("compared from above")


def test_both_bounds_are_compared_and_a_failing_comparison_propagates():
    with pytest.raises(ArithmeticError, match="compared from above"):
        Int(min_value=0, max_value=10).apply(Odd(5))
    # With only the minimum set, the failing comparison is never made.
    with pytest.raises(ValueError, match=r"^Value 5 is out of range \(min=0, max=None\)"):
        Int(min_value=0).apply(Odd(5))


class Custom:
    __vesk_custom_typing__ = False  # presence counts, not the value

    def __init__(self, answer):
        self.answer = answer
        self.calls = []

    def custom_apply(self, path, spec, allow_partial, child_transform):
        self.calls.append((path, spec, allow_partial, child_transform))
        return self.answer


def test_custom_apply_receives_the_path_the_spec_and_the_options_and_may_proceed():
    value = Custom((False, "kept"))
    spec = Int()
    fn = Recorder()
    assert spec.apply(value, allow_partial=True, child_transform=fn) == "kept"
    [(path, got_spec, allow_partial, child_transform)] = value.calls
    assert isinstance(path, KeyPath) and str(path) == ""
    assert got_spec is spec and allow_partial is True and child_transform is fn
    spec.apply(value, root_path=PATH)
    assert value.calls[-1][0] is PATH and value.calls[-1][2:] == (False, None)
    # An answer that proceeds continues with the transform and the checks.
    fn = Recorder(lambda v: v * 2)
    spec = Int(max_value=10).set_transform(fn)
    assert spec.apply(Custom((True, 4))) == 8
    assert fn.calls == [4]
    with pytest.raises(ValueError, match=r"^Value 12 is out of range"):
        spec.apply(Custom((True, 6)))


@pytest.mark.parametrize("answer, error",
                         [((1, "x"), TypeError), ((True,), IndexError), (None, TypeError)])
def test_a_malformed_custom_apply_answer_is_an_error(answer, error):
    with pytest.raises(error):
        Int().apply(Custom(answer))


def test_the_transform_runs_before_the_type_check_and_its_result_is_validated():
    fn = Recorder(int)
    spec = Int(min_value=0).set_transform(fn)
    assert spec.apply("7") == 7 and fn.calls == ["7"]
    with pytest.raises(ValueError, match=r"^Value -1 is out of range.*\(path=a\.b\[2\]\)$"):
        spec.apply("-1", root_path=PATH)
    # Exact leaves still pass the transform; None and missing values never reach it.
    assert spec.apply(3) == 3 and fn.calls[-1] == 3
    count = len(fn.calls)
    with pytest.raises(ValueError, match="^Value cannot be None"):
        spec.apply(None)
    assert spec.apply(MISSING, allow_partial=True) is not MISSING
    assert len(fn.calls) == count


def test_a_transform_that_yields_a_missing_value_is_treated_like_one():
    spec = Int().set_transform(lambda v: MISSING)
    assert isinstance(spec.apply(1, allow_partial=True), native.MissingValue)
    with pytest.raises(ValueError, match=r"^Required value is not specified\. \(Path='a\.b\[2\]'"):
        spec.apply(1, root_path=PATH)


class TwoArgError(Exception):
    def __init__(self, code, detail):
        super().__init__(code, detail)


@pytest.mark.parametrize(
    "raised, expected_class, expected_args",
    [(KeyError("k"), KeyError, ("'k' (path=a.b[2])",)),
     (ValueError("bad"), ValueError, ("bad (path=a.b[2])",)),
     (TwoArgError(1, "detail"), TwoArgError, None)],  # cannot be remade from one message
)
def test_transform_errors_keep_their_class_and_get_the_path(raised, expected_class, expected_args):
    def fail(value):
        raise raised

    with pytest.raises(expected_class) as e:
        Int().set_transform(fail).apply(1, root_path=PATH)
    if expected_args is None:
        assert e.value is raised
    else:
        assert type(e.value) is expected_class and e.value.args == expected_args
        assert e.value.__cause__ is raised


def test_the_reapply_after_a_transform_uses_the_spec_twin_without_transform():
    probe = Custom((False, None))
    spec = Any().set_transform(lambda v: probe)
    spec.apply(1)
    [(_, twin, _, _)] = probe.calls
    assert twin is not spec and twin.transform is None and type(twin) is Any


class Loose(type):
    def __instancecheck__(cls, value):
        return value == "any" or type.__instancecheck__(cls, value)


class Member(metaclass=Loose):
    def __init__(self, name):
        self.name = name

    def __eq__(self, other):
        return other == self.name if isinstance(other, str) else other is self

    __hash__ = object.__hash__

    def __repr__(self):
        return f"Member({self.name})"


def test_a_value_type_with_its_own_instance_test_is_checked_through_the_package():
    a, b = Member("a"), Member("b")
    spec = Enum([a, b])
    assert spec.apply(b) is b
    # The metaclass admits "any", which the candidate test then refuses.
    with pytest.raises(ValueError, match=r"^Value 'any' is not in candidate list"):
        spec.apply("any")
    with pytest.raises(TypeError) as e:
        spec.apply(3, root_path=PATH)
    assert str(e.value) == f"Expect {Member!r} but encountered <class 'int'>: 3. (path=a.b[2])"


def test_no_reference_leaks_on_any_road():
    from leaks import assert_no_leak

    class Quiet:
        __vesk_custom_typing__ = True

        def __init__(self, answer):
            self.answer = answer

        def custom_apply(self, path, spec, allow_partial, child_transform):
            return self.answer

    def fail(value):
        raise KeyError(value)

    int_spec, frozen, enum = Int(min_value=0), Int(default=1, frozen=True), Enum([Token("a")])
    passing = ((int_spec, 5), (Float(), 1), (Int(max_value=10).set_transform(lambda v: v + 1), 2),
               (frozen, MISSING), (enum, "a"), (int_spec, Quiet((True, 3))), (int_spec, Quiet((False, "x"))))
    failing = ((int_spec, -1), (int_spec, None), (int_spec, "x"), (Int().set_transform(fail), 1),
               (frozen, 2), (enum, 3), (int_spec, MISSING))

    def roads():
        for spec, value in passing:
            spec.apply(value, root_path=PATH)
        for spec, value in failing:
            try:
                spec.apply(value, root_path=PATH)
            except (ValueError, TypeError, KeyError):
                pass
        repr(int_spec), str(enum), int_spec.format(list_wrap_threshold=3)

    assert_no_leak(roads)


def test_a_union_coerces_through_its_candidates_in_order():
    union = native.Union([Enum([Token("b")]), Float()])
    # The Enum refuses 1 with a TypeError and is passed over; Float widens it.
    assert union.apply(1) == 1.0 and union.apply("b") == Token("b")
    # "a" is refused by both (ValueError, then TypeError): the union's own error.
    with pytest.raises(TypeError) as e:
        union.apply("a", root_path=PATH)
    assert str(e.value) == (
        f"Expect {union.value_type} but encountered <class 'str'>: a. (path=a.b[2])"
    )
