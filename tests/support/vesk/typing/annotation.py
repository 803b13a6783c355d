"""Annotations to value specs, as the package's `ValueSpec.from_annotation`
does it for the spec kinds that the module offers."""

import abc
import collections.abc
import types
import typing

import vesk_core._native as native
from vesk.typing.forward_ref import ForwardRef


def _kind(name):
    cls = getattr(native, name, None)
    if cls is None:
        raise TypeError(f"No value spec kind {name!r} is available.")
    return cls


def _union_cls():
    from vesk.typing.handles import Union

    return getattr(native, "Union", None) or Union


class ValueSpec(abc.ABC):
    """The package's value-spec interface; the native SpecBase registers as
    its virtual subclass."""

    @classmethod
    def from_annotation(cls, annotation, auto_typing=False, accept_value_as_annotation=False):
        return from_annotation(annotation, auto_typing, accept_value_as_annotation)


if getattr(native, "SpecBase", None) is not None:
    ValueSpec.register(native.SpecBase)

_SCALARS = {bool: "Bool", int: "Int", float: "Float", str: "Str"}


def from_annotation(annotation, auto_typing=False, accept_value_as_annotation=False):
    if isinstance(annotation, ValueSpec):
        return annotation
    if annotation is typing.Any or annotation is object:
        return _kind("Any")()
    if isinstance(annotation, type) and annotation in _SCALARS:
        return _kind(_SCALARS[annotation])()
    if annotation is None or annotation is type(None):
        return _kind("Any")(default=None)
    if isinstance(annotation, (str, ForwardRef)):
        return _kind("Object")(annotation)
    origin, args = typing.get_origin(annotation), typing.get_args(annotation)
    if origin in (typing.Union, types.UnionType):
        rest = [a for a in args if a is not type(None)]
        specs = [from_annotation(a, auto_typing) for a in rest]
        spec = specs[0] if len(specs) == 1 else _union_cls()(specs)
        return spec.noneable() if len(rest) < len(args) else spec
    if origin is typing.Literal:
        return _kind("Enum")(list(args))
    if auto_typing and origin is not None:
        if origin is list:
            return _kind("List")(from_annotation(args[0] if args else typing.Any, True))
        if origin is tuple:
            return _kind("Tuple")([from_annotation(a, True) for a in args])
        if origin is dict:
            return _kind("Dict")()
        if origin is type:
            return _kind("Type")(args[0] if args else object)
        if origin is collections.abc.Callable:
            return _kind("Callable")()
    if isinstance(annotation, type):
        return _kind("Object")(annotation)
    if accept_value_as_annotation:
        return _kind("Any")(default=annotation)
    return _kind("Any")(annotation=annotation)
