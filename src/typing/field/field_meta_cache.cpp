// The per-field cache of the compiled record: built outside every lock on
// first use, dropped by every change that feeds it.
#include "typing/field/field.hpp"
#include "typing/field/field_state.hpp"

#include "py/lazy.hpp"

namespace vesk::typing::field {

FieldMetaRef field_meta(PyObject* field) {
    FieldState& s = py::state<FieldState>(field);
    py::Ref key, value;
    std::uint64_t generation = 0;
    {
        py::SharedBorrow b(py::borrow_flag<FieldState>(field));
        if (!b.acquire()) return nullptr;
        if (FieldMetaRef cached = s.meta.load()) return cached;
        // Read before the members: a change after this point moves the
        // generation on, and the record built below is then not cached.
        generation = s.meta.generation();
        key = s.key;
        value = s.value;
    }
    PyObject* name = py::intern<"const_text">();
    if (!name) return nullptr;
    py::Ref const_text = py::Ref::steal(PyObject_GetAttr(key ? key.get() : Py_None, name));
    if (!const_text) return nullptr;
    FieldMetaRef built = build_field_meta(const_text.get(), field, value ? value.get() : Py_None);
    if (!built) return nullptr;
    FieldMetaRef replaced = s.meta.store(built, generation);
    return built;  // `replaced` is released after the slot's lock
}

void invalidate_meta(PyObject* field) noexcept {
    FieldMetaRef dropped = py::state<FieldState>(field).meta.take();
    // `dropped` is released here, with the slot's lock already free.
}

}  // namespace vesk::typing::field
