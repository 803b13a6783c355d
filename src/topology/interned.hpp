// Attribute and method names that the key-path code looks up on user
// objects, interned once per process. Each accessor returns a borrowed
// pointer, or null with an exception set when the first interning fails.
#pragma once

#include "py/once_cell.hpp"

namespace vesk::topology::interned {

namespace detail {
[[nodiscard]] inline PyObject* get(py::ObjectCell& cell, const char* name) {
    return cell.get_or_init([name] { return py::Ref::steal(PyUnicode_InternFromString(name)); });
}
}  // namespace detail

#define VESK_INTERNED(fn, text)                   \
    [[nodiscard]] inline PyObject* fn() {         \
        static py::ObjectCell cell;               \
        return detail::get(cell, text);           \
    }

VESK_INTERNED(vesk_str_key, "__vesk_str_key__")
VESK_INTERNED(isdigit, "isdigit")
VESK_INTERNED(sym_hasattr, "sym_hasattr")
VESK_INTERNED(sym_getattr, "sym_getattr")
VESK_INTERNED(sym_inferred, "sym_inferred")
VESK_INTERNED(getitem, "__getitem__")
VESK_INTERNED(len, "__len__")
VESK_INTERNED(contains, "__contains__")
VESK_INTERNED(value, "value")
VESK_INTERNED(type_, "_type")

#undef VESK_INTERNED

}  // namespace vesk::topology::interned
