"""The object bridge's 24 handles: small working Python versions of the
package's object-layer policy, so tests run the native call paths for real."""

import contextlib
import copy

import vesk_core._native as native
from vesk_core import KeyPath


class SymbolicModeError(RuntimeError):
    """Raised for topology operations on a class declared with topo=False."""


class WritePermissionError(PermissionError):
    """Raised for a write refused by a sealed or accessor-locked object."""


class ConstructError(Exception):
    """What `prepare_construct_error` makes: a recognisable wrapper."""


class Origin:
    __slots__ = ("source", "tag", "stacktrace", "stacklimit", "stacktop")

    def __init__(self, source, tag, stacktrace=None, stacklimit=None, stacktop=-1):
        self.source, self.tag = source, tag
        self.stacktrace, self.stacklimit, self.stacktop = stacktrace, stacklimit, stacktop


def auto_plural(count, word):
    return word if count == 1 else word + "s"


def comma_delimited_str(names):
    return ", ".join(repr(n) for n in names)


def message_on_path(message, path):
    return f"{message} (path={path})" if path else message


def prepare_construct_error(error):
    return ConstructError(f"construct failed: {error}")


# When set, the hook answers None, the package's way of saying "no child
# transform". The bridges are installed once per process, so the hook reads
# this switch on every call instead of being installed again.
_answers_none = False


@contextlib.contextmanager
def no_child_transform():
    """Makes `symbolic_transform_fn` answer None for the duration."""
    global _answers_none
    before, _answers_none = _answers_none, True
    try:
        yield
    finally:
        _answers_none = before


def symbolic_transform_fn(allow_partial):
    if _answers_none:
        return None

    def transform(path, field, value):
        return value
    transform._vesk_scalar_identity = True
    transform._vesk_allow_partial = allow_partial
    return transform


def _generic_setattr(obj, name, value):
    # The kernel's generic write where the build has it, else the plain one.
    setter = getattr(native, "_kernel_generic_setattr", object.__setattr__)
    setter(obj, name, value)


def seed_non_symbolic_fields(obj, fields):
    for name, value in fields:
        _generic_setattr(obj, name, value)


def clone_non_symbolic_fields(obj, source, deep, memo):
    for name, _ in type(obj)._non_symbolic_fields:
        value = getattr(source, name)
        _generic_setattr(obj, name, copy.deepcopy(value, memo) if deep else value)


def cooperative_init(obj, explicit):
    super(type(obj), obj).__init__()


def needs_cooperative_init(cls):
    return False


def is_pure_symbolic(value):
    return False


class _Defaults:
    """The object base's own hooks, which a class override is told from."""

    def _on_topo_parent_change(self, old, new):
        pass

    def _update_children_paths(self, old, new):
        pass

    def _on_topo_path_change(self, old, new):
        pass

    def _sym_missing(self):
        return {}

    @property
    def sym_puresymbolic(self):
        return False

    def sym_values(self):
        return []


def handles(dict_cls=dict):
    """The keyword arguments of `_install_object_bridge`, in slot order."""
    return dict(
        dict_cls=dict_cls,
        symbolic_mode_error=SymbolicModeError,
        keypath_cls=KeyPath,
        empty_key_path=KeyPath(),
        origin_cls=Origin,
        auto_plural=auto_plural,
        comma_delimited_str=comma_delimited_str,
        seed_non_symbolic_fields=seed_non_symbolic_fields,
        clone_non_symbolic_fields=clone_non_symbolic_fields,
        symbolic_transform_fn=symbolic_transform_fn,
        missing_value=native.missing_value_singleton(),
        copy_default=copy.deepcopy,
        cooperative_init=cooperative_init,
        needs_cooperative_init=needs_cooperative_init,
        message_on_path=message_on_path,
        write_permission_error=WritePermissionError,
        prepare_construct_error=prepare_construct_error,
        default_on_topo_parent_change=_Defaults._on_topo_parent_change,
        default_update_children_paths=_Defaults._update_children_paths,
        default_on_topo_path_change=_Defaults._on_topo_path_change,
        default_sym_missing_code=_Defaults._sym_missing.__code__,
        default_sym_puresymbolic_prop=_Defaults.__dict__["sym_puresymbolic"],
        default_sym_values=_Defaults.sym_values,
        is_pure_symbolic=is_pure_symbolic,
    )


def install(dict_cls=dict):
    """Installs the object bridge (the first installation wins)."""
    native._install_object_bridge(**handles(dict_cls))
