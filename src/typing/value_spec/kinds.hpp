// The concrete spec classes, one per file of kinds/: each accessor
// returns the class, built on first use and shared by the process
// (borrowed), or null with an exception set.
#pragma once

#include "py/ref.hpp"

#include <cstdint>

namespace vesk::typing {

[[nodiscard]] PyTypeObject* bool_type();
[[nodiscard]] PyTypeObject* str_type();
[[nodiscard]] PyTypeObject* int_type();
[[nodiscard]] PyTypeObject* float_type();
[[nodiscard]] PyTypeObject* enum_type();
[[nodiscard]] PyTypeObject* any_type();
[[nodiscard]] PyTypeObject* list_type();
[[nodiscard]] PyTypeObject* tuple_type();
[[nodiscard]] PyTypeObject* union_type();
[[nodiscard]] PyTypeObject* object_type();
[[nodiscard]] PyTypeObject* type_type();
[[nodiscard]] PyTypeObject* dict_type();
[[nodiscard]] PyTypeObject* callable_type();
[[nodiscard]] PyTypeObject* functor_type();

// One fact about an object that may be a native spec, read under a shared
// hold of it.
enum class NativeAnswer : std::uint8_t { Error, NotNative, No, Yes };

// The class of a plain Object spec (neither frozen nor transformed, with a
// value type), in `cls` (Yes); No for any other native spec; Error with
// "Already mutably borrowed" while it is mutated.
[[nodiscard]] NativeAnswer plain_object_class(PyObject* spec, py::Ref& cls);

}  // namespace vesk::typing
