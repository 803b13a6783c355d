// The object bridge: the package's classes, singletons and callbacks through
// which native object code calls back into the package's policy (errors,
// key paths, origins, non-symbolic fields, cooperative `__init__`, the
// default hooks that tell an override), installed once by
// `_install_object_bridge` right after import; and the small routines that
// object construction, record construction and the containers share.
//
// The table goes once from empty to installed and never changes again: the
// first completed installation wins, later ones are ignored, and a pointer
// read from the cell stays valid for the life of the process. Reading it
// before the package installed it is a contract violation, reported as the
// internal error "object bridge not installed".
#pragma once

#include "py/once_cell.hpp"
#include "py/ref.hpp"

namespace vesk::symbolic::object {

// The bridge's slots, in order; each is the installer's keyword argument of
// the same name.
#define VESK_OBJECT_BRIDGE_SLOTS(X)                                              \
    X(dict_cls)                       /* 0  composed symbolic dict class */      \
    X(symbolic_mode_error)            /* 1  factory: topo=False misuse */        \
    X(keypath_cls)                    /* 2  (key, parent path or None) */        \
    X(empty_key_path)                 /* 3  shared empty path */                 \
    X(origin_cls)                     /* 4 */                                    \
    X(auto_plural)                    /* 5  (count, "argument") */               \
    X(comma_delimited_str)            /* 6  (list of names) */                   \
    X(seed_non_symbolic_fields)       /* 7 */                                    \
    X(clone_non_symbolic_fields)      /* 8 */                                    \
    X(symbolic_transform_fn)          /* 9  (allow_partial) -> child transform */\
    X(missing_value)                  /* 10 */                                   \
    X(copy_default)                   /* 11 (default) -> value for a field */    \
    X(cooperative_init)               /* 12 */                                   \
    X(needs_cooperative_init)         /* 13 */                                   \
    X(message_on_path)                /* 14 (message, path) -> str */            \
    X(write_permission_error)         /* 15 factory */                           \
    X(prepare_construct_error)        /* 16 (failure) -> object to raise */      \
    X(default_on_topo_parent_change)  /* 17 compared to tell an override */      \
    X(default_update_children_paths)  /* 18 */                                   \
    X(default_on_topo_path_change)    /* 19 */                                   \
    X(default_sym_missing_code)       /* 20 */                                   \
    X(default_sym_puresymbolic_prop)  /* 21 */                                   \
    X(default_sym_values)             /* 22 */                                   \
    X(is_pure_symbolic)               /* 23 (value) -> truth settles the test */

#define VESK_OBJECT_BRIDGE_FIELD(name) py::Ref name;
struct ObjectBridge {
    VESK_OBJECT_BRIDGE_SLOTS(VESK_OBJECT_BRIDGE_FIELD)
};
#undef VESK_OBJECT_BRIDGE_FIELD

inline py::OnceCell<const ObjectBridge> OBJECT_BRIDGE;

// The installed bridge, or null with the internal error "object bridge not
// installed".
[[nodiscard]] const ObjectBridge* object_bridge();

// `_install_object_bridge(*, dict_cls, ..., is_pure_symbolic)`: 24 required
// keyword-only arguments of any kind. Returns None, also when already set.
PyObject* install_object_bridge(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// It as a module function, in a table of its own.
extern PyMethodDef bridge_functions[];

// --- shared routines ------------------------------------------------------

// Passes (0) when `enable_topo` is true; otherwise raises the exception that
// the bridge's `symbolic_mode_error` makes for "`{label}` requires a symbolic
// tree, but {type name} was declared with `topo=False`. ..." (-1).
[[nodiscard]] int require_topo(PyObject* node, bool enable_topo, const char* label);

// Positional construction belongs to the class's Python `__init__`: with no
// or empty `args` answers 0 (not handled); otherwise calls
// `type(obj).__init__(obj, *args, **kwargs)` and answers -1 with its
// exception set, or, when it returned normally, with RuntimeError "{label}:
// positional `__init__` returned without raising — ...". `kwargs` may be null.
[[nodiscard]] int defer_positional_to_python_init(PyObject* obj, PyObject* args,
                                                  PyObject* kwargs, const char* label);

// Removes `key` from the dict `kwargs`: 1 with the value in `out`, 0 when
// absent (unchanged), -1 on error.
[[nodiscard]] int pop_kw(PyObject* kwargs, PyObject* key, py::Ref& out);

// `obj._sym_attributes._set_item_without_permission_check(key, value)`.
[[nodiscard]] py::Ref delegate_set_item_via_sym_attributes(PyObject* obj, PyObject* key,
                                                           PyObject* value);

}  // namespace vesk::symbolic::object
