"""Stand-in for the package's typing layer: the handles it gives to
`_install_typing_bridge` and two of the three single-value installers.

The handles are small but working Python versions of the package's own
(forward references that resolve, JSON conversion that round-trips, real
fields and schemas), so tests exercise the native call paths for real. Where
the module already has a native class (Field, Schema, the key specs, Union)
the handle is that class.

`install()` installs everything once per process; the test session calls it
at start, and a fresh interpreter may call it itself.
"""

import vesk_core._native as native
from vesk.typing import annotation, forward_ref, handles, json, schema

MISSING_VALUE = native.missing_value_singleton()
MissingValue = native.MissingValue


def _native_or(name, fallback):
    return getattr(native, name, None) or fallback


def bridge_handles():
    """The keyword arguments of `_install_typing_bridge`, in slot order."""
    return dict(
        missing_value=MISSING_VALUE,
        missing_type=MissingValue,
        frozen_placeholder=handles.FROZEN_PLACEHOLDER,
        fast_apply_info_cls=handles.FastApplyInfo,
        union_cls=_native_or("Union", handles.Union),
        to_json=json.to_json,
        from_json=json.from_json,
        callable_eq=handles.callable_eq,
        value_spec_cls=annotation.ValueSpec,
        field_cls=_native_or("Field", schema.Field),
        key_spec_cls=schema.KeySpec,
        object_cls=_native_or("Object", handles.Object),
        is_subclass=handles.is_subclass,
        is_instance=handles.is_instance,
        is_generic=handles.is_generic,
        is_typeddict=handles.is_typeddict,
        type_display_name=handles.type_display_name,
        make_forward_ref=forward_ref.make_forward_ref,
        raw_text_cls=handles.RawText,
        forward_ref_cls=forward_ref.ForwardRef,
        topology_merge=schema.topology_merge,
        make_field_merge_fn=schema.make_field_merge_fn,
        register_forward_ref_target=forward_ref.register_forward_ref_target,
        default_without_apply=schema.default_without_apply,
        create_schema=schema.create_schema,
        str_key_cls=_native_or("StrKey", schema.StrKey),
        functor_cls=handles.Functor,
        callable_validate=handles.callable_validate,
    )


def json_schema(spec, **kwargs):
    """The package's JSON-schema conversion, reduced to the scalar kinds."""
    names = {"Bool": "boolean", "Int": "integer", "Float": "number", "Str": "string"}
    kind = type(spec).__name__
    out = {"type": names[kind]} if kind in names else {}
    out.update(kwargs)
    return out


def field_from_annotation(key, annotation_, description, metadata, auto_typing, parent_module):
    del parent_module
    spec = annotation.from_annotation(annotation_, auto_typing)
    field_cls = _native_or("Field", schema.Field)
    return field_cls(key, spec, description, metadata)


def install():
    """Installs the typing bridge and the JSON-schema and field-from-annotation
    cells (a later call changes nothing: the first installation wins). The
    symbolic container types are the symbolic layer's to register
    (`vesk.symbolic.install`)."""
    native._install_typing_bridge(**bridge_handles())
    native._install_json_schema_fn(json_schema)
    native._install_field_from_annotation(field_from_annotation)
