"""What `help()` shows of the value-spec classes: every method has the text
signature of the parameters it parses, and every class's docstring is its
constructor's signature."""

import inspect

import pytest

import vesk_core._native as native

CLASSES = [getattr(native, name) for name in (
    "SpecBase", "Bool", "Str", "Int", "Float", "Enum", "Any", "List", "Tuple", "Union",
    "Object", "Type", "Dict", "Callable", "Functor")]

METHODS = [(cls, name) for cls in CLASSES for name, member in vars(cls).items()
           if isinstance(member, (type(native.SpecBase.apply), classmethod))
           or type(member).__name__ == "classmethod_descriptor"]


@pytest.mark.parametrize("cls, name", METHODS, ids=lambda x: getattr(x, "__name__", x))
def test_every_method_has_a_signature(cls, name):
    # A signature the interpreter parses: `help()` shows it instead of "(...)".
    signature = inspect.signature(getattr(cls, name))
    assert str(signature) != "(...)"


@pytest.mark.parametrize(
    "member, text",
    [
        (native.SpecBase.apply,
         "(self, /, value, allow_partial=False, child_transform=None, root_path=None, "
         "inplace=True)"),
        (native.SpecBase.format,
         "(self, /, compact=False, verbose=True, root_indent=0, **kwargs)"),
        (native.SpecBase.set_default, "(self, /, default, use_default_apply=True, root_path=None)"),
        (native.SpecBase.freeze, "(self, /, permanent_value=Ellipsis, apply_before_use=True)"),
        (native.SpecBase.to_json, "(self, /, **kwargs)"),
        # One argument taken positionally only, or none.
        (native.SpecBase.extend, "(self, base, /)"),
        (native.SpecBase.is_compatible, "(self, other, /)"),
        (native.SpecBase._materialize_strict, "(self, /)"),
        (native.Any.annotate, "(self, annotation, /)"),
        (native.Int.__copy__, "(self, /)"),
        (native.Int.__deepcopy__, "(self, /, memo)"),
        # Class methods, through the class.
        (native.Int.from_json, "(json_value, **kwargs)"),
        (native.Int.with_type_args, "(type_args)"),
        (native.List.__class_getitem__, "(type_args, /)"),
    ],
)
def test_signatures_name_the_parsed_parameters(member, text):
    assert str(inspect.signature(member)) == text


def test_the_docstring_of_a_method_is_its_signature_and_its_summary():
    assert native.SpecBase.to_json.__doc__ == "The JSON-ready dict."
    assert native.SpecBase.apply.__doc__ is None  # the signature alone


@pytest.mark.parametrize(
    "cls, text",
    [
        (native.Bool, "(default=..., default_factory=None, is_noneable=False, frozen=False, "
                      "strict=None)"),
        (native.Enum, "(values, default=..., default_factory=None, frozen=False, strict=None)"),
        (native.List, "(element_value, default=..., default_factory=None, min_size=None, "
                      "max_size=None, size=None, transform=None, is_noneable=False, frozen=False, "
                      "strict=None, *, min_length=None, max_length=None, symbolic=None, "
                      "auto_wrap=True)"),
        (native.Dict, "(schema=None, default=..., default_factory=None, transform=None, "
                      "is_noneable=False, frozen=False, strict=None, *, symbolic=None, "
                      "auto_wrap=True)"),
    ],
)
def test_a_class_docstring_is_its_constructor_signature(cls, text):
    assert cls.__text_signature__ == text
    assert cls.__doc__ == ""  # the signature line and "--", nothing more


def test_functor_keeps_its_summary():
    assert native.Functor.__doc__ == (
        "A Callable spec whose values are instances of the package's functor class.")
    assert native.Functor.__text_signature__.startswith("(args=None, kw=None, returns=None,")

