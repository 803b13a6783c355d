// Small operations on specs and their parts, shared by the apply driver,
// formatting, equality and the fields layer.
//
// Errors: null Ref, -1 or an `Error` answer with an exception set.
#pragma once

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <cstdint>

namespace vesk::typing {

// `KeyPath(index, parent)`, or `KeyPath(index)` when `parent` is null: the
// path of a list or tuple element.
[[nodiscard]] py::Ref child_path(std::int64_t index, PyObject* parent);
// `root_path` itself, or a new empty KeyPath when it is null.
[[nodiscard]] py::Ref ensure_keypath(PyObject* root_path);
// A new empty `set` (the builtin, looked up in `builtins`).
[[nodiscard]] py::Ref py_set();

// Equality used by spec equality: absent `a` equals only None; present `a`
// never equals None; otherwise `a == b` by its truth. 1, 0, or -1 on error.
[[nodiscard]] int opt_eq_obj(PyObject* a, PyObject* b);
// Two optional compiled patterns: both absent equal, one absent not,
// otherwise their `==` by truth. 1, 0, or -1 on error.
[[nodiscard]] int regex_eq(PyObject* a, PyObject* b);
// "None" for null, else `str(obj)`.
[[nodiscard]] py::Ref opt_str(PyObject* obj);
// `a.is_compatible(b)`, whose result must be a bool. 1, 0, or -1 on error.
[[nodiscard]] int spec_is_compatible(PyObject* a, PyObject* b);
// `obj.Name`, required to be exactly True or False (TypeError naming the
// attribute otherwise). 1, 0, or -1 on error.
template <py::Literal Name>
[[nodiscard]] int attr_bool(PyObject* obj) {
    py::Ref value = py::get_attr<Name>(obj);
    if (!value) return -1;
    bool b;
    if (!py::arg_bool(Name.text, value.get(), b)) return -1;
    return b ? 1 : 0;
}
// `typing.Any` for a missing value, else `annotation` itself (new ref).
[[nodiscard]] py::Ref any_if_no_annotation(PyObject* annotation);

// One fact about a native spec, read under a shared hold of it.
enum class NativeAnswer : std::uint8_t { Error, NotNative, No, Yes };

[[nodiscard]] NativeAnswer native_is_strict(PyObject* spec);
// Kind Any, not frozen, no transform.
[[nodiscard]] NativeAnswer native_is_plain_any(PyObject* spec);
// `is_noneable`, not frozen, no transform.
[[nodiscard]] NativeAnswer native_is_plain_noneable(PyObject* spec);
[[nodiscard]] NativeAnswer native_is_tuple(PyObject* spec);
// The value type of an Object spec that is neither frozen nor transformed, in
// `cls` (Yes); No for any other native spec.
[[nodiscard]] NativeAnswer native_plain_object_class(PyObject* spec, py::Ref& cls);

}  // namespace vesk::typing
