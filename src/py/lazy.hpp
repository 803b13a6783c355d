// Process-wide values made on first use. Four kinds, one meaning each:
//   OnceCell<T>   a plain pointer (native function, table), first set wins
//   ObjectCell    a Python object kept for the process, first set wins
//   OnceSlot      a per-object cache slot, first published value stays
//   intern<"name">(out), imported<"module", "attr">(out), names<"a", "b">(out),
//   constant_int<N>(out)
//                 an interned str, a module attribute, a tuple of interned
//                 str, an int: each instantiation owns its ObjectCell
//
// Making one of the last four may fail (memory, a failed import), so a read
// hands the object out only together with the answer whether it exists:
//
//   PyObject* label;
//   if (!py::intern<"Schema">(label)) return nullptr;  // exception set
//
// The answer is [[nodiscard]] and the object comes out only through `out`: a
// read handed straight to the C API does not compile, and one whose answer is
// dropped does not build in CI (warnings are errors there), so no empty cell
// reaches the C API.
// Most reads never need the object itself: the helpers of named.hpp take
// the name as a template argument and check the cell inside
// (`py::get_attr<"x">(obj)`, `py::call_method<"keys">(d)`, ...).
//
// There is no form that returns the object alone. Process-wide cells are
// named in UPPER_SNAKE.
#pragma once

#include "py/once_cell.hpp"
#include "py/once_slot.hpp"

#include <cstddef>

namespace vesk::py {

// A string literal usable as a template argument.
template <std::size_t L>
struct Literal {
    char text[L];
    consteval Literal(const char (&s)[L]) noexcept {
        for (std::size_t i = 0; i < L; ++i) text[i] = s[i];
    }
};

namespace detail {

template <Literal Name>
[[nodiscard]] PyObject* interned_cell() {
    static ObjectCell CELL;
    return CELL.get_or_init([] { return Ref::steal(PyUnicode_InternFromString(Name.text)); });
}

template <Literal Module, Literal... Attr>
[[nodiscard]] PyObject* imported_cell() {
    static ObjectCell CELL;
    return CELL.get_or_init([] {
        Ref module = Ref::steal(PyImport_ImportModule(Module.text));
        if constexpr (sizeof...(Attr) == 0) {
            return module;
        } else {
            return Ref::steal(module ? PyObject_GetAttrString(module.get(), Attr.text...)
                                     : nullptr);
        }
    });
}

template <Literal... Names>
[[nodiscard]] PyObject* names_cell() {
    static ObjectCell CELL;
    return CELL.get_or_init([]() -> Ref {
        PyObject* items[] = {interned_cell<Names>()...};
        for (PyObject* item : items)
            if (!item) return {};
        Ref tuple = Ref::steal(PyTuple_New(sizeof...(Names)));
        if (!tuple) return {};
        for (std::size_t i = 0; i < sizeof...(Names); ++i)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(items[i]).release());
        return tuple;
    });
}

template <long Value>
[[nodiscard]] PyObject* constant_int_cell() {
    static ObjectCell CELL;
    return CELL.get_or_init([] { return Ref::steal(PyLong_FromLong(Value)); });
}

// Hands `value` out through `out`: true when it exists.
[[nodiscard]] inline bool hand_out(PyObject* value, PyObject*& out) noexcept {
    out = value;
    return value != nullptr;
}

}  // namespace detail

// The interned str `Name` (borrowed, kept for the process): true with `out`
// set, or false with an exception set when interning failed.
template <Literal Name>
[[nodiscard]] bool intern(PyObject*& out) {
    return detail::hand_out(detail::interned_cell<Name>(), out);
}

// The module `Module`, or its attribute `Module.Attr`, imported on first use
// (borrowed, kept for the process): true with `out` set, or false with an
// exception set when the import or the lookup failed.
template <Literal Module, Literal... Attr>
    requires(sizeof...(Attr) <= 1)
[[nodiscard]] bool imported(PyObject*& out) {
    return detail::hand_out(detail::imported_cell<Module, Attr...>(), out);
}

// A tuple of interned str (borrowed, kept for the process), usable as the
// `kwnames` of a vectorcall: true with `out` set, or false with an exception
// set.
template <Literal... Names>
    requires(sizeof...(Names) > 0)
[[nodiscard]] bool names(PyObject*& out) {
    return detail::hand_out(detail::names_cell<Names...>(), out);
}

// The int `Value` (borrowed, kept for the process): true with `out` set, or
// false with an exception set.
template <long Value>
[[nodiscard]] bool constant_int(PyObject*& out) {
    return detail::hand_out(detail::constant_int_cell<Value>(), out);
}

// `obj.Name`, looked up through the interned name; null with an exception
// set.
template <Literal Name>
[[nodiscard]] Ref get_attr(PyObject* obj) {
    PyObject* name;
    if (!intern<Name>(name)) return {};
    return Ref::steal(PyObject_GetAttr(obj, name));
}

}  // namespace vesk::py
