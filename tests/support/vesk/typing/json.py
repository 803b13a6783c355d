"""JSON conversion of values nested in spec, field and schema JSON forms.

Objects that know their JSON form (`to_json`) write a dict whose "_type" is
their serialisation key; reading looks the key up among the registered
classes and calls their `from_json`. Tuples become ["__tuple__", ...],
classes and functions {"_type": "type"/"function", "name": dotted name}.
"""

import importlib
import threading

import vesk_core._native as native

TUPLE_MARKER = "__tuple__"

_registry = {}
_lock = threading.Lock()


def register_serializable(cls, key=None):
    with _lock:
        _registry[key or cls.__serialization_key__] = cls
    return cls


def _lookup(key):
    with _lock:
        cls = _registry.get(key)
    if cls is not None:
        return cls
    # Native classes carry their keys; they are found on first use, so a
    # class added by a later build is found without registering it.
    for name in native.__all__:
        obj = getattr(native, name)
        if isinstance(obj, type) and getattr(obj, "__serialization_key__", None) == key:
            return register_serializable(obj, key)
    return None


def _dotted(obj):
    return f"{obj.__module__}.{obj.__qualname__}"


def _import_dotted(name):
    module, _, attr = name.rpartition(".")
    target = importlib.import_module(module)
    for part in attr.split("."):
        target = getattr(target, part)
    return target


def to_json(value, **kwargs):
    if value is None or type(value) in (bool, int, float, str):
        return value
    if isinstance(value, type):
        return {"_type": "type", "name": _dotted(value)}
    method = getattr(value, "to_json", None)
    if callable(method):
        return method(**kwargs)
    if isinstance(value, tuple):
        return [TUPLE_MARKER] + [to_json(v, **kwargs) for v in value]
    if isinstance(value, list):
        return [to_json(v, **kwargs) for v in value]
    if isinstance(value, dict):
        return {k: to_json(v, **kwargs) for k, v in value.items()}
    if callable(value) and hasattr(value, "__qualname__"):
        return {"_type": "function", "name": _dotted(value)}
    raise TypeError(f"{value!r} is not JSON serializable.")


def from_json(json_value, **kwargs):
    if isinstance(json_value, list):
        if json_value and json_value[0] == TUPLE_MARKER:
            return tuple(from_json(v, **kwargs) for v in json_value[1:])
        return [from_json(v, **kwargs) for v in json_value]
    if not isinstance(json_value, dict):
        return json_value
    key = json_value.get("_type")
    if key is None:
        return {k: from_json(v, **kwargs) for k, v in json_value.items()}
    if key in ("type", "function"):
        return _import_dotted(json_value["name"])
    cls = _lookup(key)
    if cls is None:
        raise ValueError(f"Unknown serialization key {key!r}.")
    return cls.from_json(json_value, **kwargs)
