// Attribute names the typing bridge code looks up, interned once per
// process. Each accessor returns a borrowed str, or null with an exception
// set when the first interning fails.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::typing::names {

namespace detail {
[[nodiscard]] inline PyObject* get(py::ObjectCell& cell, const char* name) {
    return cell.get_or_init([name] { return py::Ref::steal(PyUnicode_InternFromString(name)); });
}
}  // namespace detail

#define VESK_TYPING_NAME(fn, text)        \
    [[nodiscard]] inline PyObject* fn() { \
        static py::ObjectCell cell;       \
        return detail::get(cell, text);   \
    }

VESK_TYPING_NAME(symbolic, "symbolic")
VESK_TYPING_NAME(append, "append")
VESK_TYPING_NAME(sym_partial, "sym_partial")
VESK_TYPING_NAME(custom_typing, "__vesk_custom_typing__")
VESK_TYPING_NAME(maybe_partial, "__vesk_maybe_partial__")
VESK_TYPING_NAME(copy_if_default, "__vesk_copy_if_default__")
VESK_TYPING_NAME(from_annotation, "from_annotation")
VESK_TYPING_NAME(type_checking, "TYPE_CHECKING")
VESK_TYPING_NAME(annotation, "annotation")
VESK_TYPING_NAME(pattern, "pattern")
VESK_TYPING_NAME(forward_refs, "forward_refs")
VESK_TYPING_NAME(value_type_, "_value_type")
VESK_TYPING_NAME(fields, "fields")
VESK_TYPING_NAME(items, "items")
VESK_TYPING_NAME(regex, "regex")
VESK_TYPING_NAME(value, "value")

#undef VESK_TYPING_NAME

}  // namespace vesk::typing::names
