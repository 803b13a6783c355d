"""Every method of Field, Schema and the key specs shows its parameters in
`help()` and `inspect.signature`, as its argument parser takes them."""

import inspect
import pydoc

import pytest

import vesk_core._native as native

KEY_SPEC_MEMBERS = {
    "match": "(key, /)",
    "extend": "(base, /)",
    "__copy__": "()",
    "__deepcopy__": "(_memo)",
    "to_json": "(**kwargs)",
    "from_json": "(json_value, **kwargs)",
    "format": "(*args, **kwargs)",
}

SIGNATURES = {
    "Field": {
        "apply": "(value, allow_partial=False, transform_fn=None, root_path=None, inplace=True)",
        "extend": "(base_field, /)",
        "format": "(compact=False, verbose=True, root_indent=0, **kwargs)",
        "set_validator": "(validator, /)",
        "set_description": "(description, /)",
        "set_origin": "(origin, /)",
        "set_alias": "(alias, /)",
        "_own_value_spec": "()",
        "_materialize_strict": "()",
        "_field_meta_probe": "()",
        "__copy__": "()",
        "__deepcopy__": "(memo)",
        "to_json": "(**kwargs)",
        "from_json": "(json_value, **kwargs)",
        "from_annotation": "(key, annotation, description=None, metadata=None, auto_typing=True, "
        "parent_module=None)",
    },
    "Schema": {
        "merge": "(schema_list, name=None, description=None)",
        "extend": "(base, /)",
        "apply": "(dict_obj, allow_partial=False, child_transform=None, root_path=None, "
        "respect_raw_storage=None, inplace=True)",
        "validate": "(dict_obj, allow_partial=False, root_path=None)",
        "_recompute_caches": "()",
        "_open_plan_info": "()",
        "_field_meta_classes": "()",
        "_funnel_leaf": "(key, value)",
        "_funnel_validate_field": "(key, value, allow_partial=False, root_path=None)",
        "set_name": "(name, /)",
        "set_description": "(description, /)",
        "get": "(key, default=None)",
        "get_field": "(key, /)",
        "keys": "()",
        "values": "()",
        "items": "()",
        "is_compatible": "(other, /)",
        "resolve": "(keys, /)",
        "format": "(compact=False, verbose=True, root_indent=0, cls_name=None, bracket_type=None, "
        "fields_only=False, **kwargs)",
        "__copy__": "()",
        "__deepcopy__": "(memo)",
        "to_json": "(**kwargs)",
        "from_json": "(json_value, **kwargs)",
    },
    **{name: KEY_SPEC_MEMBERS for name in ("ConstStrKey", "StrKey", "ListKey", "TupleKey")},
}

CASES = [(cls, member) for cls, members in SIGNATURES.items() for member in members]


def bound(cls_name, member):
    """The member as a caller reaches it: bound to an instance, or to the class."""
    cls = getattr(native, cls_name)
    instance = {
        "Field": lambda: native.Field("x", native.Int()),
        "Schema": lambda: native.Schema([]),
        "ConstStrKey": lambda: native.ConstStrKey("x"),
        "StrKey": lambda: native.StrKey(),
        "ListKey": lambda: native.ListKey(),
        "TupleKey": lambda: native.TupleKey(),
    }[cls_name]()
    return getattr(instance, member)


@pytest.mark.parametrize("cls_name,member", CASES)
def test_signature(cls_name, member):
    assert str(inspect.signature(bound(cls_name, member))) == SIGNATURES[cls_name][member]


@pytest.mark.parametrize("cls_name", list(SIGNATURES))
def test_every_method_has_one(cls_name):
    cls = getattr(native, cls_name)
    own = {name for name, member in vars(cls).items()
           if type(member).__name__ in ("method_descriptor", "classmethod_descriptor",
                                        "staticmethod")}
    assert own == set(SIGNATURES[cls_name])


def test_help_shows_the_parameters():
    # help() wraps a long signature one parameter a line, inside a "|" margin.
    text = "".join(pydoc.render_doc(native.Schema, renderer=pydoc.plaintext).split()).replace("|", "")
    assert "apply(self,/,dict_obj,allow_partial=False,child_transform=None," in text
    assert "extend(self,base,/)" in text
    assert "(...)" not in text
