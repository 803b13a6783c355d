// Process-wide values made on first use. Four kinds, one meaning each:
//   OnceCell<T>   a plain pointer (native function, table), first set wins
//   ObjectCell    a Python object kept for the process, first set wins
//   OnceSlot      a per-object cache slot, first published value stays
//   intern<"name">(), imported<"module", "attr">(), names<"a", "b">(),
//   constant_int<N>()
//                 an interned str, a module attribute, a tuple of interned
//                 str, an int: each instantiation owns its ObjectCell
// Every read returns a nullable pointer (null: not made yet, or an exception
// set when making it failed) and is [[nodiscard]]: no read of an empty cell
// gets past a check. Process-wide cells are named in UPPER_SNAKE.
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

// The interned str `Name` (borrowed, kept for the process); null with an
// exception set when interning failed.
template <Literal Name>
[[nodiscard]] PyObject* intern() {
    static ObjectCell CELL;
    return CELL.get_or_init([] { return Ref::steal(PyUnicode_InternFromString(Name.text)); });
}

// `obj.Name`, looked up through the interned name; null with an exception
// set.
template <Literal Name>
[[nodiscard]] Ref get_attr(PyObject* obj) {
    PyObject* name = intern<Name>();
    return Ref::steal(name ? PyObject_GetAttr(obj, name) : nullptr);
}

// The module `Module`, or its attribute `Module.Attr`, imported on first use
// (borrowed, kept for the process); null with an exception set when the
// import or the lookup failed.
template <Literal Module, Literal... Attr>
    requires(sizeof...(Attr) <= 1)
[[nodiscard]] PyObject* imported() {
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

// A tuple of interned str (borrowed, kept for the process), usable as the
// `kwnames` of a vectorcall; null with an exception set on failure.
template <Literal... Names>
    requires(sizeof...(Names) > 0)
[[nodiscard]] PyObject* names() {
    static ObjectCell CELL;
    return CELL.get_or_init([]() -> Ref {
        PyObject* items[] = {intern<Names>()...};
        for (PyObject* item : items)
            if (!item) return {};
        Ref tuple = Ref::steal(PyTuple_New(sizeof...(Names)));
        if (!tuple) return {};
        for (std::size_t i = 0; i < sizeof...(Names); ++i)
            PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), Ref::borrow(items[i]).release());
        return tuple;
    });
}

// The int `Value` (borrowed, kept for the process); null with an exception
// set on failure.
template <long Value>
[[nodiscard]] PyObject* constant_int() {
    static ObjectCell CELL;
    return CELL.get_or_init([] { return Ref::steal(PyLong_FromLong(Value)); });
}

}  // namespace vesk::py
