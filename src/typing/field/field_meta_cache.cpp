// The per-field cache of the compiled record: built outside every lock on
// first use, published into the field's slot, unpublished by every change
// that feeds it. Reading a published record is one atomic load.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/lazy.hpp"
#include "typing/change_epoch.hpp"

namespace vesk::typing::field {

namespace {

// The slot of a field: the one part of the State reached without the
// field's hold.
[[nodiscard]] const MetaSlot& meta_slot(PyObject* field) noexcept {
    return py::state<FieldState>(field).meta;
}

// Builds the record from the field as it is now and publishes it unless the
// field changed meanwhile; the caller keeps the record either way.
FieldMetaRef build_and_publish(PyObject* field) {
    py::Ref key, value;
    std::uint64_t generation = 0;
    {
        Reading s(field);
        if (!s) return nullptr;
        // Read before the members: a change after this point moves the
        // generation on, and the record built below is then not published.
        generation = s->meta.generation();
        key = s->key;
        value = s->value;
    }
    py::Ref const_text = py::get_attr<"const_text">(key ? key.get() : Py_None);
    if (!const_text) return nullptr;
    FieldMetaRef built = build_field_meta(const_text.get(), field, value ? value.get() : Py_None);
    if (!built) return nullptr;
    (void)meta_slot(field).store(built, generation);
    return built;
}

}  // namespace

FieldMetaRef field_meta(PyObject* field) {
    {
        ReadSection reading;
        if (FieldMetaRef published = meta_slot(field).load()) return published;
    }
    return build_and_publish(field);
}

std::uint64_t meta_generation(PyObject* field) noexcept {
    return meta_slot(field).generation();
}

const FieldMeta* cached_meta_unlocked(PyObject* field) noexcept {
    return meta_slot(field).peek();
}

const FieldMeta* field_meta_view(PyObject* field, FieldMetaRef& keep) {
    if (const FieldMeta* published = meta_slot(field).peek()) return published;
    keep = build_and_publish(field);
    return keep.get();
}

const FieldMeta* current_field_meta_view(PyObject* field, FieldMetaRef& keep) {
    const FieldMeta* published = meta_slot(field).peek();
    if (published && published->epoch == change_epoch()) return published;
    keep = build_and_publish(field);
    return keep.get();
}

FieldMetaRef current_field_meta(PyObject* field) {
    {
        ReadSection reading;
        FieldMetaRef published = meta_slot(field).load();
        if (published && published->epoch == change_epoch()) return published;
    }
    return build_and_publish(field);
}

void invalidate_meta(PyObject* field) noexcept {
    meta_slot(field).take();
    note_change();
}

}  // namespace vesk::typing::field
