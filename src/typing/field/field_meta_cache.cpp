// The per-field cache of the compiled record: built outside every lock on
// first use, dropped by every change that feeds it.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/lazy.hpp"

namespace vesk::typing::field {

namespace {

// The slot of a field: it has its own lock and is the one part of the State
// reached without the field's hold.
[[nodiscard]] const MetaSlot& meta_slot(PyObject* field) noexcept {
    return py::state<FieldState>(field).meta;
}

}  // namespace

FieldMetaRef field_meta(PyObject* field) {
    py::Ref key, value;
    std::uint64_t generation = 0;
    {
        Reading s(field);
        if (!s) return nullptr;
        if (FieldMetaRef cached = s->meta.load()) return cached;
        // Read before the members: a change after this point moves the
        // generation on, and the record built below is then not cached.
        generation = s->meta.generation();
        key = s->key;
        value = s->value;
    }
    py::Ref const_text = py::get_attr<"const_text">(key ? key.get() : Py_None);
    if (!const_text) return nullptr;
    FieldMetaRef built = build_field_meta(const_text.get(), field, value ? value.get() : Py_None);
    if (!built) return nullptr;
    FieldMetaRef replaced = meta_slot(field).store(built, generation);
    return built;  // `replaced` is released after the slot's lock
}

void invalidate_meta(PyObject* field) noexcept {
    FieldMetaRef dropped = meta_slot(field).take();
    // `dropped` is released here, with the slot's lock already free.
}

std::uint64_t meta_generation(PyObject* field) noexcept {
    return meta_slot(field).generation_now();
}

const FieldMeta* cached_meta_unlocked(PyObject* field) noexcept {
    return meta_slot(field).cached_unlocked();
}

}  // namespace vesk::typing::field
