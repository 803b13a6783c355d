"""Small handles of the typing bridge: sentinels, marker classes and the
package's type tests."""

import inspect
import types
import typing

from vesk.typing.forward_ref import ForwardRef


class FrozenPlaceholder:
    """The default of a frozen spec that should still accept values."""

    _instance = None

    def __new__(cls):
        if cls._instance is None:
            cls._instance = super().__new__(cls)
        return cls._instance

    def __repr__(self):
        return "FROZEN_PLACEHOLDER"


FROZEN_PLACEHOLDER = FrozenPlaceholder()


class FastApplyInfo:
    """What a spec's `fast_apply_info` reports: whether an exact instance of
    `value_type` may be taken without applying the spec."""

    __slots__ = ("is_eligible", "value_type")

    def __init__(self, is_eligible=False, value_type=None):
        self.is_eligible = is_eligible
        self.value_type = value_type

    def __eq__(self, other):
        if not isinstance(other, FastApplyInfo):
            return NotImplemented
        return (self.is_eligible, self.value_type) == (other.is_eligible, other.value_type)

    def __hash__(self):
        return hash((self.is_eligible, self.value_type))

    def __repr__(self):
        return f"FastApplyInfo(is_eligible={self.is_eligible}, value_type={self.value_type!r})"


class RawText:
    """Text shown as it is (no quotes) inside a formatted spec."""

    __vesk_formattable__ = True
    __slots__ = ("text",)

    def __init__(self, text):
        self.text = str(text)

    def format(self, *args, **kwargs):
        return self.text

    __str__ = __repr__ = lambda self: self.text

    def __eq__(self, other):
        return isinstance(other, RawText) and self.text == other.text

    def __hash__(self):
        return hash(self.text)


class Functor:
    """The package's functor base: a callable object with a signature."""

    def __call__(self, *args, **kwargs):
        raise NotImplementedError


class Object:
    """Stands in for the package's Object spec class (the bridge's
    `object_cls`) until the module has its own."""

    __schema__ = None


def _resolve(t):
    if isinstance(t, ForwardRef):
        return t.cls
    return typing.get_origin(t) or t


def is_subclass(cls, base):
    """issubclass that understands forward references and generic aliases,
    and answers False (rather than raising) for a non-class."""
    cls, base = _resolve(cls), _resolve(base)
    if base is typing.Any:
        return True
    if not isinstance(cls, type):
        return False
    if isinstance(base, tuple):
        base = tuple(_resolve(b) for b in base)
    return issubclass(cls, base)


def is_instance(value, t):
    t = _resolve(t)
    if t is typing.Any:
        return True
    if isinstance(t, tuple):
        t = tuple(_resolve(x) for x in t)
    return isinstance(value, t)


def is_generic(annotation):
    return isinstance(annotation, (types.GenericAlias, type(typing.List[int]))) and bool(
        typing.get_args(annotation)
    )


def is_typeddict(cls):
    return typing.is_typeddict(cls)


def type_display_name(t):
    if isinstance(t, type):
        return t.__name__
    if isinstance(t, ForwardRef):
        return t.name
    return repr(t).replace("typing.", "")


def callable_eq(a, b):
    """Equality of two defaults, default factories, transforms or
    validators: the same object; two bound methods of one object and one
    function; two functions of the same code and defaults; otherwise `==`,
    so equal values made apart (two defaults a spec builds alike) are equal.
    An error of `==` ends the comparison."""
    if a is b:
        return True
    if inspect.ismethod(a) and inspect.ismethod(b):
        return a.__self__ is b.__self__ and a.__func__ is b.__func__
    if inspect.isfunction(a) and inspect.isfunction(b):
        return (
            a.__code__ == b.__code__
            and a.__defaults__ == b.__defaults__
            and a.__kwdefaults__ == b.__kwdefaults__
        )
    return bool(a == b)


def callable_validate(args, kw, returns, spec_repr, path, value):
    """Checks that `value` can be called with as many positional arguments as
    the spec lists and accepts its keyword names."""
    del returns, spec_repr
    if not callable(value):
        raise TypeError(f"Value is not callable: {value!r} (path={path})")
    try:
        signature = inspect.signature(value)
    except (TypeError, ValueError):
        return  # builtins without a signature are taken as they are
    params = list(signature.parameters.values())
    kinds = {p.kind for p in params}
    if inspect.Parameter.VAR_POSITIONAL not in kinds:
        positional = [
            p for p in params
            if p.kind in (p.POSITIONAL_ONLY, p.POSITIONAL_OR_KEYWORD)
        ]
        if len(args) > len(positional):
            raise TypeError(
                f"{value!r} only takes {len(positional)} positional arguments while "
                f"{len(args)} is required by the spec. (path={path})"
            )
    if inspect.Parameter.VAR_KEYWORD not in kinds:
        names = {p.name for p in params if p.kind != p.POSITIONAL_ONLY}
        for name, _ in kw:
            if name not in names:
                raise TypeError(
                    f"Keyword argument {name!r} does not exist in {value!r}. (path={path})"
                )


class Union:
    """Stands in for the union spec until the module has its own: the first
    candidate that applies wins."""

    def __init__(self, candidates, is_noneable=False):
        self.candidates = list(candidates)
        self.is_noneable = is_noneable

    def __class_getitem__(cls, args):
        return cls(args if isinstance(args, tuple) else (args,))

    def noneable(self):
        self.is_noneable = True
        return self

    def apply(self, value, allow_partial=False, child_transform=None, root_path=None):
        if value is None and self.is_noneable:
            return None
        errors = []
        for candidate in self.candidates:
            try:
                return candidate.apply(
                    value,
                    allow_partial=allow_partial,
                    child_transform=child_transform,
                    root_path=root_path,
                )
            except (TypeError, ValueError) as e:
                errors.append(e)
        raise TypeError(f"{value!r} matches no candidate of {self!r}. (path={root_path})")

    def __eq__(self, other):
        if not isinstance(other, Union):
            return NotImplemented
        return (self.candidates, self.is_noneable) == (other.candidates, other.is_noneable)

    __hash__ = None

    def __repr__(self):
        return f"Union({self.candidates!r})"
