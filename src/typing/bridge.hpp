// The typing bridge: the package's classes, sentinels and callbacks that the
// typing layer calls back into (its missing value, forward references, JSON
// conversion of foreign values, field and schema factories, display names),
// handed over once by `_install_typing_bridge` right after import, and the
// three single-value cells installed beside it.
//
// Layout. `TypingBridge` holds 29 owning references in a fixed slot order,
// listed once in VESK_TYPING_BRIDGE_SLOTS below, which also makes the
// installer's parameters, their order and its signature text: slots 0-19
// and 21-28 are the installer's keyword arguments in their order, slot 20 an
// empty frozenset that the installer makes itself. Every slot is a plain
// object except `missing_type`, which is a class.
//
// Immutability. Each cell goes once from empty to installed and never back;
// the first completed installation wins and later ones are ignored. An
// installed table is never changed or freed, so a pointer read from a cell is
// valid for the life of the process and is read without a lock or borrow.
//
// Errors follow the interpreter's convention: a null pointer or Ref, or -1,
// means an exception is set; predicates answer 1 / 0 / -1. Reading a handle
// before the package installed it is a contract violation, reported as the
// internal error naming the cell (py::raise_internal). The wrappers hold no
// lock while calling Python, and exceptions raised by a handle pass through
// unchanged.
//
// The class markers and the partial test live in typing/markers.hpp, the
// class-identity tests of the hot paths in typing/fast_types.hpp, the
// deep-copy memo in typing/memo.hpp, the value-spec utilities in
// typing/value_spec/utilities/.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::typing {

// The bridge's slots in order: ARG(name) for a keyword argument of the
// installer, MADE(name) for a slot the installer fills itself.
#define VESK_TYPING_BRIDGE_SLOTS(ARG, MADE)                                              \
    ARG(missing_value)               /* 0  the canonical missing value */               \
    ARG(missing_type)                /* 1  class of missing values (a class) */         \
    ARG(frozen_placeholder)          /* 2  a frozen default that does not freeze */     \
    ARG(fast_apply_info_cls)         /* 3 */                                            \
    ARG(union_cls)                   /* 4 */                                            \
    ARG(to_json)                     /* 5  to_json(value, **kwargs) */                  \
    ARG(from_json)                   /* 6 */                                            \
    ARG(callable_eq)                 /* 7  callable_eq(a, b) -> bool */                 \
    ARG(value_spec_cls)              /* 8  has from_annotation */                       \
    ARG(field_cls)                   /* 9 */                                            \
    ARG(key_spec_cls)                /* 10 */                                           \
    ARG(object_cls)                  /* 11 */                                           \
    ARG(is_subclass)                 /* 12 is_subclass(cls, base) -> bool */            \
    ARG(is_instance)                 /* 13 is_instance(value, cls) -> bool */           \
    ARG(is_generic)                  /* 14 is_generic(annotation) -> bool */            \
    ARG(is_typeddict)                /* 15 */                                           \
    ARG(type_display_name)           /* 16 */                                           \
    ARG(make_forward_ref)            /* 17 */                                           \
    ARG(raw_text_cls)                /* 18 */                                           \
    ARG(forward_ref_cls)             /* 19 */                                           \
    MADE(empty_forward_refs)         /* 20 empty frozenset, made by the installer */    \
    ARG(topology_merge)              /* 21 */                                           \
    ARG(make_field_merge_fn)         /* 22 */                                           \
    ARG(register_forward_ref_target) /* 23 */                                           \
    ARG(default_without_apply)       /* 24 */                                           \
    ARG(create_schema)               /* 25 */                                           \
    ARG(str_key_cls)                 /* 26 */                                           \
    ARG(functor_cls)                 /* 27 */                                           \
    ARG(callable_validate)           /* 28 */

#define VESK_BRIDGE_FIELD(name) py::Ref name;
struct TypingBridge {
    VESK_TYPING_BRIDGE_SLOTS(VESK_BRIDGE_FIELD, VESK_BRIDGE_FIELD)
};
#undef VESK_BRIDGE_FIELD

// The package's composed symbolic containers (Python subclasses of SymDict
// and SymList) into which a raw dict or list is wrapped.
struct SymbolicContainerTypes {
    py::Ref dict_type;
    py::Ref list_type;
};

namespace bridge {

// Process-wide once-set cells; written only by the installers below.
inline py::OnceCell<const TypingBridge> BRIDGE;
inline py::ObjectCell JSON_SCHEMA_FN;         // behind SpecBase.to_json_schema
inline py::ObjectCell FIELD_FROM_ANNOTATION;  // behind Field.from_annotation
inline py::OnceCell<const SymbolicContainerTypes> SYMBOLIC_CONTAINER_TYPES;

}  // namespace bridge

// --- accessors --------------------------------------------------------------

// The installed bridge, or null with the internal error "typing bridge not
// installed".
[[nodiscard]] const TypingBridge* typing_bridge();
// The installed bridge, or null (no error set).
[[nodiscard]] inline const TypingBridge* typing_bridge_if_installed() noexcept {
    return bridge::BRIDGE.get();
}

// Borrowed; null with the internal error "json-schema fn not installed".
[[nodiscard]] PyObject* json_schema_fn();
// Borrowed; null with the internal error "field_from_annotation not installed".
[[nodiscard]] PyObject* field_from_annotation_fn();
// The pair, or null (no error set): readers then decline their native
// shortcut and take their general road.
[[nodiscard]] inline const SymbolicContainerTypes* symbolic_container_types() noexcept {
    return bridge::SYMBOLIC_CONTAINER_TYPES.get();
}

// --- wrappers over bridge handles ---------------------------------------------
// Each fails with "typing bridge not installed" when the bridge is absent.
// Handles that must answer a bool are held to it: any other result is a
// TypeError (the binding layer's bool conversion), never a truth test.

// isinstance(value, missing_type).
[[nodiscard]] int is_missing(PyObject* value);
// missing_type(): a new missing value.
[[nodiscard]] py::Ref fresh_missing();
// A new reference to the canonical missing value. Attaches the calling thread
// to the interpreter for the duration, so native code that is not attached may
// call it.
[[nodiscard]] py::Ref missing_default();
// callable_eq(a, b).
[[nodiscard]] int callable_eq(PyObject* a, PyObject* b);
// to_json(value, **kwargs); `kwargs` is a dict or null for none.
[[nodiscard]] py::Ref call_to_json(PyObject* value, PyObject* kwargs);
// is_generic(annotation).
[[nodiscard]] int call_is_generic(PyObject* annotation);
// is_instance(value, cls).
[[nodiscard]] int call_is_instance(PyObject* value, PyObject* cls);
// is_subclass(cls, base).
[[nodiscard]] int call_is_subclass(PyObject* cls, PyObject* base);

// --- Python surface -----------------------------------------------------------
// The four installers; each returns None, also when its cell is already set.

// `_install_typing_bridge(*, missing_value, ..., callable_validate)`: 28
// required keyword-only arguments; `missing_type` must be a class.
PyObject* install_typing_bridge(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames);
// `_install_json_schema_fn(func)`.
PyObject* install_json_schema_fn(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames);
// `_install_field_from_annotation(func)`.
PyObject* install_field_from_annotation(PyObject* module, PyObject* const* args,
                                        Py_ssize_t nargs, PyObject* kwnames);
// `_install_symbolic_container_types(dict_type, list_type)`.
PyObject* install_symbolic_container_types(PyObject* module, PyObject* const* args,
                                           Py_ssize_t nargs, PyObject* kwnames);

}  // namespace vesk::typing
