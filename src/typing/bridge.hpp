// The typing bridge: the package's classes, sentinels and callbacks that the
// typing layer calls back into (its missing value, forward references, JSON
// conversion of foreign values, field and schema factories, display names),
// handed over once by `_install_typing_bridge` right after import, and the
// three single-value cells installed beside it.
//
// Layout. `TypingBridge` holds 29 owning references in a fixed slot order:
// slots 0-19 and 21-28 are the installer's keyword arguments in their order,
// slot 20 an empty frozenset that the installer makes itself. Every slot is a
// plain object except `missing_type`, which is a class.
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
// typing/value_spec/utils.hpp.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::typing {

struct TypingBridge {
    py::Ref missing_value;                // 0  the canonical missing value
    py::Ref missing_type;                 // 1  class of missing values (a class)
    py::Ref frozen_placeholder;           // 2  a frozen default that does not freeze
    py::Ref fast_apply_info_cls;          // 3
    py::Ref union_cls;                    // 4
    py::Ref to_json;                      // 5  to_json(value, **kwargs)
    py::Ref from_json;                    // 6
    py::Ref callable_eq;                  // 7  callable_eq(a, b) -> bool
    py::Ref value_spec_cls;               // 8  has from_annotation
    py::Ref field_cls;                    // 9
    py::Ref key_spec_cls;                 // 10
    py::Ref object_cls;                   // 11
    py::Ref is_subclass;                  // 12 is_subclass(cls, base) -> bool
    py::Ref is_instance;                  // 13 is_instance(value, cls) -> bool
    py::Ref is_generic;                   // 14 is_generic(annotation) -> bool
    py::Ref is_typeddict;                 // 15
    py::Ref type_display_name;            // 16
    py::Ref make_forward_ref;             // 17
    py::Ref raw_text_cls;                 // 18
    py::Ref forward_ref_cls;              // 19
    py::Ref empty_forward_refs;           // 20 empty frozenset, made by the installer
    py::Ref topology_merge;               // 21
    py::Ref make_field_merge_fn;          // 22
    py::Ref register_forward_ref_target;  // 23
    py::Ref default_without_apply;        // 24
    py::Ref create_schema;                // 25
    py::Ref str_key_cls;                  // 26
    py::Ref functor_cls;                  // 27
    py::Ref callable_validate;            // 28
};

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
