#include "kernel/record/field_getset.hpp"

#include "kernel/record/cell_ops.hpp"
#include "kernel/record/inferential.hpp"
#include "kernel/record/slots.hpp"
#include "py/args.hpp"
#include "py/entry.hpp"
#include "py/lazy.hpp"
#include "py/write_span.hpp"

#include <atomic>

namespace vesk::kernel::record {

namespace {

void raise_no_attribute(PyObject* obj, PyObject* name) {
    py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (type_name)
        PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%U'", type_name.get(),
                     name);
}

// The entry for `name` in a materialised view, by a plain dict lookup: a
// view that is not a dict, or a failing lookup, counts as no entry.
py::Ref view_entry(PyObject* view, PyObject* name) {
    if (!PyDict_Check(view)) return {};
    PyObject* hit = nullptr;
    if (PyDict_GetItemRef(view, name, &hit) < 0) PyErr_Clear();
    return py::Ref::steal(hit);
}

// What reading an empty cell means: a non-symbolic field is simply unset;
// a record without node state reads None; any other record was allocated
// but never constructed.
py::Ref read_empty(PyObject* obj, const SlotFieldMeta& meta, FieldKind kind) {
    if (kind == FieldKind::NonSymbolic) {
        raise_no_attribute(obj, meta.name.get());
        return {};
    }
    if (meta.mode == Mode::None) return py::Ref::borrow(Py_None);
    py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(obj)));
    if (type_name)
        PyErr_Format(PyExc_ValueError, "%U.__init__ should call `super().__init__`.",
                     type_name.get());
    return {};
}

// An inferential value of a topology-aware field: the tree's own entry for
// the field (the object's `_sym_attributes`, when it has one) is inferred.
py::Ref infer_in_tree(PyObject* obj, const SlotFieldMeta& meta, py::Ref value) {
    PyObject *attrs_name, *infer_name;
    if (!py::intern<"_sym_attributes">(attrs_name) || !py::intern<"infer">(infer_name)) return {};
    PyObject* raw = nullptr;
    if (PyObject_GetOptionalAttr(obj, attrs_name, &raw) < 0) return {};
    py::Ref attrs = py::Ref::steal(raw);
    if (attrs) {
        if (!PyDict_Check(attrs.get())) {
            py::raise_not_instance(attrs.get(), "dict");
            return {};
        }
        PyObject* hit = nullptr;
        if (PyDict_GetItemRef(attrs.get(), meta.name.get(), &hit) < 0) return {};
        if (hit) value = py::Ref::steal(hit);
    }
    return py::Ref::steal(PyObject_CallMethodNoArgs(value.get(), infer_name));
}

PyObject* field_get(PyObject* obj, void* closure) {
    return read_field_value(obj, *static_cast<const SlotFieldMeta*>(closure)).release();
}

// Raw write; a delete empties a non-symbolic field only.
int field_set(PyObject* obj, PyObject* value, void* closure) {
    const auto& meta = *static_cast<const SlotFieldMeta*>(closure);
    // A record whose construction runs its children's hooks keeps its cells
    // closed to the thread's writes (py/write_span.hpp).
    if (py::refused_by_span(obj)) return -1;
    if (value) {
        (void)swap_cell(obj, meta.offset, value);
        return 0;
    }
    if (meta.kind.load(std::memory_order_relaxed) == FieldKind::Symbolic) {
        py::Ref type_name = py::Ref::steal(PyType_GetName(Py_TYPE(obj)));
        if (type_name)
            PyErr_Format(PyExc_AttributeError, "property %R of '%U' object has no deleter",
                         meta.name.get(), type_name.get());
        return -1;
    }
    if (!swap_cell(obj, meta.offset, nullptr)) {
        raise_no_attribute(obj, meta.name.get());
        return -1;
    }
    return 0;
}

// The list head is written by the interpreter under its own lock, not the
// instance's section: take a reference only to an entry that is still
// alive, and keep it only when it is still the head afterwards.
PyObject* weakref_get(PyObject* obj, void*) {
    const RecordLayout* layout = layout_of(obj);
    if (!layout || layout->weaklist_offset <= 0) return py::none();
    std::atomic_ref<PyObject*> head(*cell_at(obj, layout->weaklist_offset));
    for (;;) {
        PyObject* seen = head.load(std::memory_order_acquire);
        if (!seen) return py::none();
        if (!PyUnstable_TryIncRef(seen)) continue;
        py::Ref taken = py::Ref::steal(seen);
        if (head.load(std::memory_order_acquire) == seen) return taken.release();
    }
}

}  // namespace

PyGetSetDef field_getset(const char* name, SlotFieldMeta* meta) noexcept {
    return {name, py::entry<&field_get>, py::entry<&field_set>, nullptr, meta};
}

PyGetSetDef weakref_getset() noexcept {
    return {"__weakref__", py::entry<&weakref_get>, nullptr, nullptr, nullptr};
}

SlotFieldMeta* field_meta_of(const PyGetSetDef* def) noexcept {
    if (def->get != py::entry<&field_get> || !def->closure) return nullptr;
    return static_cast<SlotFieldMeta*>(def->closure);
}

py::Ref read_field_value(PyObject* obj, const SlotFieldMeta& meta) {
    py::Ref value;
    py::Ref view;
    {
        py::CriticalSection guard(obj);
        if (meta.view) view = py::Ref::borrow(*cell_at(obj, role_offset(kRoleView)));
        if (!view) value = py::Ref::borrow(*cell_at(obj, meta.offset));
    }
    if (view) {
        value = view_entry(view.get(), meta.name.get());
        if (!value) value = load_cell(obj, meta.offset);
    }
    const FieldKind kind = meta.kind.load(std::memory_order_relaxed);
    if (!value) return read_empty(obj, meta, kind);
    if (kind == FieldKind::NonSymbolic || !type_defines_infer(Py_TYPE(value.get()))) return value;
    if (!meta.enable_topo.load(std::memory_order_relaxed))
        return raise_contextual_attribute_error(obj, meta.name.get());
    return infer_in_tree(obj, meta, std::move(value));
}

int read_field_descriptor(PyObject* obj, PyObject* descr, py::Ref& out) {
    if (!Py_IS_TYPE(descr, &PyGetSetDescr_Type)) return 0;
    const SlotFieldMeta* meta =
        field_meta_of(reinterpret_cast<PyGetSetDescrObject*>(descr)->d_getset);
    if (!meta) return 0;
    PyTypeObject* owner = PyDescr_TYPE(descr);
    if (!PyObject_TypeCheck(obj, owner)) {
        PyErr_Format(PyExc_TypeError, "descriptor '%U' for '%s' objects doesn't apply to a '%s' object",
                     PyDescr_NAME(descr), owner->tp_name, Py_TYPE(obj)->tp_name);
        return -1;
    }
    out = read_field_value(obj, *meta);
    return out ? 1 : -1;
}

}  // namespace vesk::kernel::record
