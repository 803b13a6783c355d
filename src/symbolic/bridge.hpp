// The container and list bridges: the package's classes, singletons and
// callbacks through which symbolic containers (and objects) reach its
// policy, installed once right after import. Also the two routines every
// symbolic write shares: the default origin of a new node, and the change
// notification that hands one field update to the package.
//
// Each table goes once from empty to installed and never changes again:
// the first completed installation wins, later ones are ignored, and a
// pointer read from a cell stays valid for the life of the process. Reading
// a table before the package installed it is a contract violation, reported
// as the internal error "container bridge not installed" / "list bridge not
// installed".
#pragma once

#include "py/once_cell.hpp"
#include "py/ref.hpp"

namespace vesk::symbolic {

// The container bridge's slots, in order; each is the installer's keyword
// argument of the same name.
#define VESK_CONTAINER_BRIDGE_SLOTS(X)                                             \
    X(keypath_cls)            /* () empty path; (key, parent path) */              \
    X(empty_key_path)         /* the shared empty path */                          \
    X(missing_value)          /* removes an entry, or is skipped */                \
    X(field_update_cls)       /* (path, target, field, old, new) */                \
    X(write_permission_error) /* factory: (message) */                             \
    X(shared_hold_error)      /* factory: (message) */                             \
    X(shared_hold_message)    /* (child, path, in_claimed_set) -> str */           \
    X(wrap_value)             /* (value, *, wrap, allow_partial, root_path, assign) */ \
    X(symbolic_transform_fn)  /* (allow_partial) -> child transform */             \
    X(origin_cls)             /* (source, tag[, stacktrace, stacklimit, stacktop]) */ \
    X(message_on_path)        /* (message, path) -> str */                         \
    X(nonconst_key_cls)       /* class of non-constant key specs */

#define VESK_CONTAINER_BRIDGE_FIELD(name) py::Ref name;
struct ContainerBridge {
    VESK_CONTAINER_BRIDGE_SLOTS(VESK_CONTAINER_BRIDGE_FIELD)
};
#undef VESK_CONTAINER_BRIDGE_FIELD

struct ListBridge {
    py::Ref insertion_cls;  // isinstance(v, insertion_cls); insertion_cls(v)
    // Whether the class of a primitive value (int, float, str, bool, bytes,
    // None) is the insertion class or derives from it. Their ancestry is
    // fixed, so the answer taken at installation holds for good: a write of
    // a primitive need not walk its class's bases (`list::is_insertion`).
    bool marks_primitives = false;
};

inline py::OnceCell<const ContainerBridge> CONTAINER_BRIDGE;
inline py::OnceCell<const ListBridge> LIST_BRIDGE;

// The installed table, or null with the internal error.
[[nodiscard]] const ContainerBridge* container_bridge();
[[nodiscard]] const ListBridge* list_bridge();

// `_install_container_bridge(*, keypath_cls, ..., nonconst_key_cls)`: twelve
// required keyword-only arguments of any kind. Returns None.
PyObject* install_container_bridge(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames);
// `_install_list_bridge(insertion_cls)`. Returns None.
PyObject* install_list_bridge(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);
// The two installers as module functions, each in a table of its own.
extern PyMethodDef container_bridge_functions[];
extern PyMethodDef list_bridge_functions[];

// The origin a new node gets: `origin_cls(None, "__init__")` when the
// thread's origin-tracking scope is exactly True, else none (a null Ref with
// no error). `ok` is false when making it failed (an exception is set).
[[nodiscard]] py::Ref default_origin(bool& ok);

// The child transform that a bridge's `symbolic_transform_fn` hook makes for
// `allow_partial`, in `out`. The package may answer None for "no child
// transform": `out` is then left empty, so that no caller hands None on as
// a callable. False with an exception set when the call failed.
[[nodiscard]] bool make_child_transform(PyObject* hook, bool allow_partial, py::Ref& out);

// Hands `update` to `owner._notify_field_updates([update])`, unless the
// thread's change-notification scope is an explicit False and the update's
// target does not ask for validation (`_sym_validate_overridden`).
// `generic_first`: the owner kind's own attribute lookup when it answers
// what the generic one finds before anything of its own (class_attr.hpp).
// 0 or -1.
[[nodiscard]] int notify_field_update(PyObject* owner, PyObject* update,
                                      getattrofunc generic_first = nullptr);

}  // namespace vesk::symbolic
