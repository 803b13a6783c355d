// Small operations shared by the spec constructors, the class-getitem forms
// of the spec classes, the apply engine's messages, Union construction and
// the Dict kind.
//
// None of them adds a message of its own: every error raised by a Python call
// they make propagates unchanged. Those that read the typing bridge fail with
// "typing bridge not installed" when it is absent. Results that may be
// "nothing" use the out-parameter form: 1 with `out` set, 0 for nothing, -1
// with an exception set.
#pragma once

#include "py/ref.hpp"

namespace vesk::typing {

// --- type arguments and annotations -----------------------------------------

// The arguments of `X[...]` as a tuple: a tuple (subclasses included) is
// returned itself, anything else wrapped in a one-element tuple.
[[nodiscard]] py::Ref as_type_args(PyObject* args);

// `value_spec_cls.from_annotation(annotation, auto_typing=True)` of the
// bridge; the result is returned unchanged. (Not the function installed by
// `_install_field_from_annotation`.)
[[nodiscard]] py::Ref from_annotation(PyObject* annotation);

// `union_cls[(a, b)]` of the bridge: the `|` of two specs.
[[nodiscard]] py::Ref union_getitem(PyObject* a, PyObject* b);

// What `Spec[...]` returns: `spec.annotation` while `typing.TYPE_CHECKING`
// is true, else the spec itself. Consumes `spec`.
[[nodiscard]] py::Ref generic_getitem_result(py::Ref spec);

// The built-in `object` class (borrowed; never fails).
[[nodiscard]] inline PyObject* builtin_object_type() noexcept {
    return reinterpret_cast<PyObject*>(&PyBaseObject_Type);
}

// --- message texts -------------------------------------------------------------

// The text by which a message names `path`: str(path), except that a KeyPath
// holding a key without UTF-8 text (a lone surrogate) is rendered with
// backslash escapes instead of raising UnicodeEncodeError. Every message of
// the typing layer that names a path takes it from here (through the two
// below).
[[nodiscard]] py::Ref path_text_for_message(PyObject* path);
// str(path); null or None gives "" (the path text of the apply engine).
[[nodiscard]] py::Ref root_path_str(PyObject* path);
// str(path); null or None gives "None" (the schema drivers' messages).
[[nodiscard]] py::Ref root_path_display(PyObject* path);
// "{message} (path={path_text})".
[[nodiscard]] py::Ref message_on_path(PyObject* message, PyObject* path_text);
[[nodiscard]] py::Ref message_on_path(const char* message, PyObject* path_text);
// repr(obj) as a str; an exception of `__repr__` propagates.
[[nodiscard]] py::Ref py_repr(PyObject* obj);

// The exception to raise for a failed user transform: a new exception of
// `caught`'s class made from the one message "{str(caught)} (path={path})",
// with `caught` chained as its `__cause__`. When the class cannot be made
// from one message (its constructor wants other arguments or raises), or
// str(caught) fails, `caught` itself is returned, so the real failure is
// never hidden behind the re-creation error. Never null.
[[nodiscard]] py::Ref wrap_transform_error(PyObject* caught, PyObject* path_text);

// The `pattern` of a compiled regular expression as a str; 0 for null or
// None. A pattern that is not a str (a bytes pattern) is a TypeError.
[[nodiscard]] int regex_pattern_str(PyObject* regex, py::Ref& out);

// --- Union and Dict helpers ------------------------------------------------------

// The map from exact class to candidate through which the apply engine
// dispatches a Union: nothing when `some_without_value_type` is set, when a
// candidate has truthy `forward_refs`, when a `_value_type` (or one item of a
// tuple of them) is not a class, or when two candidates claim one class.
// `candidates` is a list, read item by item under its lock.
[[nodiscard]] int build_candidate_type_map(PyObject* candidates, bool some_without_value_type,
                                           py::Ref& out);

// The value spec a Dict applies to every str key when its schema (or None)
// accepts any str: the schema has exactly one field, whose key is an instance
// of the bridge's `str_key_cls` with `regex` None. Else nothing.
[[nodiscard]] int compute_open_str_value_spec(PyObject* schema, py::Ref& out);

}  // namespace vesk::typing
