"""The container and list bridges' handles, and the dictionary and list
classes the package composes over the native `SymDict` and `SymList`: small
working Python versions of the package's container policy, so tests run the
native call paths for real."""

import vesk_core._native as native
from vesk_core import KeyPath

from vesk.symbolic import objects

MISSING = native.missing_value_singleton()
EMPTY_PATH = KeyPath()


class SharedHoldError(ValueError):
    """Raised for a symbolic child that another owner already holds."""


class FieldUpdate:
    """One change of a member: where, on what, under which field, from and to."""

    __slots__ = ("path", "target", "field", "old_value", "new_value")

    def __init__(self, path, target, field, old_value, new_value):
        self.path, self.target, self.field = path, target, field
        self.old_value, self.new_value = old_value, new_value

    def __repr__(self):
        return f"FieldUpdate({self.path}, {self.old_value!r} -> {self.new_value!r})"


class Insertion:
    """A value to insert into a list rather than to assign (the list
    bridge's `insertion_cls`)."""

    __slots__ = ("value",)

    def __init__(self, value):
        self.value = value

    def __repr__(self):
        return f"Insertion({self.value!r})"


def shared_hold_message(child, path, in_claimed_set):
    where = "earlier in this operation" if in_claimed_set else "by another parent"
    return f"{type(child).__name__} for '{path}' is already held {where}"


def _is_symbolic(value):
    return hasattr(type(value), "sym_clone")


class Dict(native.SymDict):
    """The package's dictionary: clones itself, takes over its own apply,
    and records the field updates it is told about (`notified`)."""

    __vesk_custom_typing__ = True

    def sym_clone(self, deep=False, memo=None):
        items = {k: (v.sym_clone(deep) if _is_symbolic(v) else v) for k, v in self.sym_items()}
        return type(self)(
            items,
            value_spec=self._value_spec,
            pass_through=True,
            allow_partial=self._allow_partial,
            under_topo=self.enable_topo,
        )

    def _notify_field_updates(self, updates):
        self.__dict__.setdefault("notified", []).extend(updates)


class List(native.SymList):
    """The package's list: clones itself, takes over its own apply, reads
    its raw items for the spec engine, and records the field updates it is
    told about (`notified`)."""

    __vesk_custom_typing__ = True

    def sym_clone(self, deep=False, memo=None):
        items = [v.sym_clone(deep) if _is_symbolic(v) else v for v in self.sym_values()]
        return type(self)(
            items,
            value_spec=self._value_spec,
            pass_through=True,
            allow_partial=self._allow_partial,
        )

    def sym_getattr(self, key, default=MISSING):
        if not self.sym_hasattr(key):
            if default is MISSING:
                raise IndexError(key)
            return default
        return self._sym_getattr(key)

    def _notify_field_updates(self, updates):
        self.__dict__.setdefault("notified", []).append(updates)


def wrap_value(value, wrap=True, allow_partial=False, root_path=None, assign=None):
    if wrap and type(value) is dict:
        return Dict(value, allow_partial=allow_partial, root_path=root_path, assign=assign)
    if wrap and type(value) is list:
        return List(value, allow_partial=allow_partial, root_path=root_path, assign=assign)
    return value


def handles():
    """The keyword arguments of `_install_container_bridge`, in slot order."""
    return dict(
        keypath_cls=KeyPath,
        empty_key_path=EMPTY_PATH,
        missing_value=MISSING,
        field_update_cls=FieldUpdate,
        write_permission_error=objects.WritePermissionError,
        shared_hold_error=SharedHoldError,
        shared_hold_message=shared_hold_message,
        wrap_value=wrap_value,
        symbolic_transform_fn=objects.symbolic_transform_fn,
        origin_cls=objects.Origin,
        message_on_path=objects.message_on_path,
        nonconst_key_cls=native.StrKey,
    )


def install():
    """Installs the container and list bridges, and registers `Dict` and
    `List` as the symbolic container types the schema funnel wraps raw
    containers into (the first installation wins)."""
    native._install_container_bridge(**handles())
    native._install_list_bridge(Insertion)
    native._install_symbolic_container_types(Dict, List)
