"""Forward references: a class named by text, resolved when first needed.

The package resolves a name against the classes it registered as
forward-reference targets (schemas built for a class register it) and, for a
dotted name, against the module it names. A reference never caches a miss,
so a class registered after the reference was made is still found.
"""

import importlib
import threading

_targets = {}
_lock = threading.Lock()


class ForwardRef:
    def __init__(self, name, module=None):
        if not isinstance(name, str) or not name:
            raise TypeError(f"A forward reference needs a non-empty name, got {name!r}.")
        self.name = name
        self.module = module

    @property
    def resolved(self):
        return self._lookup() is not None

    @property
    def cls(self):
        cls = self._lookup()
        if cls is None:
            raise TypeError(f"{self.name!r} does not name a known class.")
        return cls

    def _lookup(self):
        with _lock:
            cls = _targets.get(self.name)
        if cls is not None:
            return cls
        module_name, _, attr = self.name.rpartition(".")
        module_name = module_name or self.module
        if not module_name:
            return None
        try:
            found = getattr(importlib.import_module(module_name), attr, None)
        except ImportError:
            return None
        return found if isinstance(found, type) else None

    def __eq__(self, other):
        return (
            isinstance(other, ForwardRef)
            and self.name == other.name
            and self.module == other.module
        )

    def __hash__(self):
        return hash((ForwardRef, self.name, self.module))

    def __repr__(self):
        return f"ForwardRef({self.name!r})"


def make_forward_ref(name):
    return ForwardRef(name)


def register_forward_ref_target(fields, for_cls):
    """Makes `for_cls` resolvable by its name and qualified name; `fields` is
    what its schema was built from (unused here)."""
    del fields
    with _lock:
        _targets[for_cls.__name__] = for_cls
        _targets[f"{for_cls.__module__}.{for_cls.__qualname__}"] = for_cls


def forget_forward_ref_target(cls):
    """Test helper: drops a registered class again."""
    with _lock:
        for key in [k for k, v in _targets.items() if v is cls]:
            del _targets[key]
