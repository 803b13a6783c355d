// The spec as a whole: its annotation, class-wide strictness and the probes
// through which schemas, containers and compiled field metadata pick a road
// per field.
#include "typing/value_spec/spec_class/whole_spec.hpp"

#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/probes.hpp"
#include "typing/value_spec/spec_class/surface.hpp"

namespace vesk::typing {

namespace {

[[nodiscard]] PyObject* or_none(PyObject* obj) { return py::new_ref(obj ? obj : Py_None); }

}  // namespace

// --- probes ------------------------------------------------------------------------

PyObject* get_exact_leaf_type(const SpecRead& self) { return or_none(native_exact_leaf(*self)); }

PyObject* get_checked_leaf_type(const SpecRead& self) {
    return or_none(native_checked_leaf(*self));
}

PyObject* get_has_custom_apply(const SpecRead& self) {
    return py::boolean(ops(*self).descends.get());
}

PyObject* get_has_custom_validate(const SpecRead& self) {
    return py::boolean(ops(*self).constrains.get());
}

PyObject* get_validate_is_noop(const SpecRead& self) {
    return py::boolean(validate_is_noop(*self));
}

PyObject* get_value_type_plain(const SpecRead& self) {
    return py::boolean(self->value_type && is_plain_value_type(self->value_type.get()));
}

PyObject* get_is_any_type(const SpecRead& self) {
    return py::boolean(self->id() == KindId::Any);
}

PyObject* get_is_inherit_marker(const SpecRead&) { return py::boolean(false); }

PyObject* get_fast_apply_info(const SpecRead& self) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return nullptr;
    PyObject* cls = bridge->fast_apply_info_cls.get();
    PyObject* leaf = native_exact_leaf(*self);
    if (!leaf) return PyObject_CallNoArgs(cls);
    PyObject* kwnames;
    if (!py::names<"is_eligible", "value_type">(kwnames)) return nullptr;
    PyObject* call[] = {nullptr, Py_True, leaf};
    return PyObject_Vectorcall(cls, call + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
}

// --- annotation ------------------------------------------------------------------------

py::Ref value_type_or_missing(const SpecEngine& engine) {
    if (engine.value_type) return engine.value_type;
    const TypingBridge* bridge = typing_bridge();
    return bridge ? bridge->missing_value : py::Ref();
}

py::Ref filled_annotation(PyObject* obj) {
    py::Ref annotation = py::get_attr<"annotation">(obj);
    if (!annotation) return {};
    const int missing = is_missing(annotation.get());
    if (missing < 0) return {};
    if (!missing) return annotation;
    PyObject* any;
    if (!py::imported<"typing", "Any">(any)) return {};
    return py::Ref::borrow(any);
}

py::Ref field_value_annotation(PyObject* field) {
    py::Ref value = py::get_attr<"value">(field);
    if (!value) return {};
    return filled_annotation(value.get());
}

py::Ref forward_annotation(PyObject* forward_ref) {
    PyObject* name;
    if (!py::intern<"as_annotation">(name)) return {};
    return py::Ref::steal(PyObject_CallMethodNoArgs(forward_ref, name));
}

py::Ref subscript(PyObject* generic, PyObject* args) {
    return py::Ref::steal(PyObject_GetItem(generic, args));
}

py::Ref annotations_of_items(PyObject* list, py::Ref (*each)(PyObject* item)) {
    std::vector<py::Ref> items;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) break;
        py::Ref mapped = each(item.get());
        if (!mapped) return {};
        items.push_back(std::move(mapped));
    }
    py::Ref tuple = py::Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    for (std::size_t i = 0; i < items.size(); ++i)
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return tuple;
}

PyObject* get_annotation(const SpecRead& self) {
    const SpecEngine& e = *self;
    const KindOps& kind = ops(e);
    py::Ref annotation = kind.annotation(e);
    if (!annotation || !kind.optional_when_noneable.get() || !e.is_noneable)
        return annotation.release();
    const int missing = is_missing(annotation.get());
    if (missing < 0) return nullptr;
    if (missing) return annotation.release();
    return typing_subscript<"Optional">(annotation.get()).release();
}

// --- strictness -----------------------------------------------------------------------

bool append_field_values(PyObject* fields, std::vector<py::Ref>& out) {
    py::Ref it = py::Ref::steal(PyObject_GetIter(fields));
    if (!it) return false;
    while (py::Ref field = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref value = py::get_attr<"value">(field.get());
        if (!value) return false;
        out.push_back(std::move(value));
    }
    return !PyErr_Occurred();
}

py::Params<0> kMaterializeStrictParams{"_materialize_strict"};

// The children are collected while the spec is held, and strictened after
// the hold is released.
PyObject* spec_materialize_strict(SpecScope self) {
    std::vector<py::Ref> children;
    {
        auto w = self.exclusive<py::Refuse::Mutation>();
        if (!w) return w.refusal();
        if (w->strict == Tri::Unset) w->strict = Tri::True;
        if (!ops(*w).strict_children(*w, children)) return nullptr;
    }
    PyObject* name;
    if (!py::intern<"_materialize_strict">(name)) return nullptr;
    for (const py::Ref& child : children) {
        py::Ref done = py::Ref::steal(PyObject_CallMethodNoArgs(child.get(), name));
        if (!done) return nullptr;
    }
    return py::none();
}

}  // namespace vesk::typing
