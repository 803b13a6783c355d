// The four key-spec classes: which keys of a dictionary, list or tuple one
// field covers.
//
// Layout and mutability. `ConstStrKey` (one constant string key) and `StrKey`
// (any string key, optionally restricted by an anchored regular expression)
// never change after construction, so they are read without any guard.
// `ListKey` (a range of list indices `[min, max)`) and `TupleKey` (one tuple
// position, or any) may each gain their missing bound once, in `extend`; their
// state is read under the instance's shared borrow and that one store is made
// under its exclusive borrow, together with the test that allows it.
//
// The rest of the system reaches a key spec only through the attribute names
// `is_const`, `const_text`, `match` and `extend`, so any object answering them
// serves as one; symbolic dictionaries alone read a `ConstStrKey`'s text here.
//
// Errors follow the interpreter's convention (null with an exception set).
#pragma once

#include "py/ref.hpp"

namespace vesk::typing::key_specs {

// The classes, built on first use and shared process-wide (borrowed); null
// with an exception set when building fails.
[[nodiscard]] PyTypeObject* const_str_key_type();
[[nodiscard]] PyTypeObject* str_key_type();
[[nodiscard]] PyTypeObject* list_key_type();
[[nodiscard]] PyTypeObject* tuple_key_type();

// Whether `obj` is a ConstStrKey (subclasses included). False before the
// class exists, since no instance can.
[[nodiscard]] bool is_const_str_key(PyObject* obj) noexcept;

// The text of a ConstStrKey (borrowed; an exact str that lives as long as
// the key). `key` must pass `is_const_str_key`.
[[nodiscard]] PyObject* const_str_key_text(PyObject* key) noexcept;

}  // namespace vesk::typing::key_specs
