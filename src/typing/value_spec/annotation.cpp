// Annotation, strictness and the fast-path probes of specs.
#include "typing/value_spec/annotation.hpp"

#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/spec_ops.hpp"
#include "typing/value_spec/spec_base.hpp"

#include <vector>

namespace vesk::typing {

// --- native probes ---------------------------------------------------------------

namespace {

// The leaf kinds whose exact-class values need no check at all.
[[nodiscard]] bool unconstrained_leaf(const SpecEngine& e) noexcept {
    switch (e.id()) {
        case KindId::Bool:
        case KindId::Any: return true;
        case KindId::Str: return !std::get<StrKind>(e.kind).regex;
        case KindId::Number: {
            const NumberKind& n = std::get<NumberKind>(e.kind);
            return !n.min_value && !n.max_value;
        }
        default: return false;
    }
}

[[nodiscard]] bool constrained_leaf(const SpecEngine& e) noexcept {
    switch (e.id()) {
        case KindId::Enum: return true;
        case KindId::Str: return static_cast<bool>(std::get<StrKind>(e.kind).regex);
        case KindId::Number: {
            const NumberKind& n = std::get<NumberKind>(e.kind);
            return n.min_value || n.max_value;
        }
        default: return false;
    }
}

[[nodiscard]] bool untouched(const SpecEngine& e) noexcept { return !e.frozen && !e.transform; }

}  // namespace

PyObject* exact_leaf_type(const SpecEngine& engine) noexcept {
    if (!engine.value_type || !untouched(engine) || !unconstrained_leaf(engine)) return nullptr;
    return engine.value_type.get();
}

PyObject* checked_leaf_type(const SpecEngine& engine) noexcept {
    if (!engine.value_type || !untouched(engine) || !constrained_leaf(engine) ||
        !is_primitive_value_type(engine.value_type.get()))
        return nullptr;
    return engine.value_type.get();
}

bool has_custom_apply(const SpecEngine& engine) noexcept {
    switch (engine.id()) {
        case KindId::List:
        case KindId::Tuple:
        case KindId::Union:
        case KindId::Object:
        case KindId::Dict: return true;
        default: return false;
    }
}

bool has_custom_validate(const SpecEngine& engine) noexcept {
    switch (engine.id()) {
        case KindId::Str:
        case KindId::Number:
        case KindId::Enum:
        case KindId::Type:
        case KindId::Callable: return true;
        default: return false;
    }
}

bool validate_is_noop(const SpecEngine& engine) noexcept {
    switch (engine.id()) {
        case KindId::Enum:
        case KindId::Type:
        case KindId::Callable: return false;
        case KindId::Str:
        case KindId::Number: return !constrained_leaf(engine);
        default: return true;
    }
}

// --- getters ------------------------------------------------------------------------

namespace {

// Answers `question(engine)` under a shared hold of `self`.
template <class Question>
PyObject* read(PyObject* self, Question&& question) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return nullptr;
    return question(spec_engine(self));
}

[[nodiscard]] PyObject* or_none(PyObject* obj) { return py::new_ref(obj ? obj : Py_None); }

}  // namespace

PyObject* get_exact_leaf_type(PyObject* self) {
    return read(self, [](const SpecEngine& e) { return or_none(exact_leaf_type(e)); });
}

PyObject* get_checked_leaf_type(PyObject* self) {
    return read(self, [](const SpecEngine& e) { return or_none(checked_leaf_type(e)); });
}

PyObject* get_has_custom_apply(PyObject* self) {
    return read(self, [](const SpecEngine& e) { return py::boolean(has_custom_apply(e)); });
}

PyObject* get_has_custom_validate(PyObject* self) {
    return read(self, [](const SpecEngine& e) { return py::boolean(has_custom_validate(e)); });
}

PyObject* get_validate_is_noop(PyObject* self) {
    return read(self, [](const SpecEngine& e) { return py::boolean(validate_is_noop(e)); });
}

PyObject* get_value_type_plain(PyObject* self) {
    return read(self, [](const SpecEngine& e) {
        return py::boolean(e.value_type && is_plain_value_type(e.value_type.get()));
    });
}

PyObject* get_is_any_type(PyObject* self) {
    return read(self, [](const SpecEngine& e) { return py::boolean(e.id() == KindId::Any); });
}

PyObject* get_is_inherit_marker(PyObject* self) {
    return read(self, [](const SpecEngine&) { return py::boolean(false); });
}

PyObject* get_fast_apply_info(PyObject* self) {
    return read(self, [](const SpecEngine& e) -> PyObject* {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return nullptr;
        PyObject* cls = bridge->fast_apply_info_cls.get();
        PyObject* leaf = exact_leaf_type(e);
        if (!leaf) return PyObject_CallNoArgs(cls);
        PyObject* kwnames = py::names<"is_eligible", "value_type">();
        if (!kwnames) return nullptr;
        PyObject* call[] = {nullptr, Py_True, leaf};
        return PyObject_Vectorcall(cls, call + 1, 0 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames);
    });
}

// --- annotation ------------------------------------------------------------------------

namespace {

// `obj.annotation`, with a missing value replaced by typing.Any.
[[nodiscard]] py::Ref filled_annotation(PyObject* obj) {
    PyObject* name = py::intern<"annotation">();
    if (!name) return {};
    py::Ref annotation = py::Ref::steal(PyObject_GetAttr(obj, name));
    if (!annotation) return {};
    return any_if_no_annotation(annotation.get());
}

// `field.value.annotation`, filled.
[[nodiscard]] py::Ref field_value_annotation(PyObject* field) {
    PyObject* name = py::intern<"value">();
    if (!name) return {};
    py::Ref value = py::Ref::steal(PyObject_GetAttr(field, name));
    if (!value) return {};
    return filled_annotation(value.get());
}

[[nodiscard]] py::Ref subscript(PyObject* generic, PyObject* args) {
    if (!generic) return {};
    return py::Ref::steal(PyObject_GetItem(generic, args));
}

// A tuple of `each(item)` for every item of `list`, read one at a time.
template <class Each>
[[nodiscard]] py::Ref map_list(PyObject* list, Each&& each) {
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

[[nodiscard]] py::Ref forward_annotation(PyObject* forward_ref) {
    PyObject* name = py::intern<"as_annotation">();
    if (!name) return {};
    return py::Ref::steal(PyObject_CallMethodNoArgs(forward_ref, name));
}

[[nodiscard]] py::Ref callable_annotation(const CallableKind& c) {
    py::Ref params;
    if (PyList_GET_SIZE(c.kw.get()) > 0) {
        params = py::Ref::borrow(Py_Ellipsis);
    } else {
        py::Ref each = map_list(c.args.get(), filled_annotation);
        if (!each) return {};
        params = py::Ref::steal(PySequence_List(each.get()));
    }
    if (!params) return {};
    py::Ref returns = c.returns ? filled_annotation(c.returns.get()) : py::Ref::borrow(Py_None);
    if (!returns) return {};
    py::Ref args = py::Ref::steal(PyTuple_Pack(2, params.get(), returns.get()));
    if (!args) return {};
    return subscript(py::imported<"typing", "Callable">(), args.get());
}

// The annotation by kind, before the noneable step.
[[nodiscard]] py::Ref kind_annotation(const SpecEngine& e) {
    auto stored_or = [&](PyObject* fallback) {
        return py::Ref::borrow(e.value_type ? e.value_type.get() : fallback);
    };
    switch (e.id()) {
        case KindId::Any: return std::get<AnyKind>(e.kind).annotation;
        case KindId::Bool:
        case KindId::Number: {
            const TypingBridge* bridge = typing_bridge();
            if (!bridge) return {};
            return stored_or(bridge->missing_value.get());
        }
        case KindId::Str: return py::Ref::borrow(reinterpret_cast<PyObject*>(&PyUnicode_Type));
        case KindId::Enum: {
            PyObject* any = py::imported<"typing", "Any">();
            return any ? stored_or(any) : py::Ref();
        }
        case KindId::List: {
            py::Ref element = filled_annotation(std::get<ListKind>(e.kind).element.get());
            if (!element) return {};
            return subscript(reinterpret_cast<PyObject*>(&PyList_Type), element.get());
        }
        case KindId::Tuple: {
            const TupleKind& t = std::get<TupleKind>(e.kind);
            PyObject* tuple_cls = reinterpret_cast<PyObject*>(&PyTuple_Type);
            if (t.fixed_length) {
                py::Ref items = map_list(t.elements.get(), field_value_annotation);
                return items ? subscript(tuple_cls, items.get()) : py::Ref();
            }
            py::Ref field = py::list_item(t.elements.get(), 0);
            if (!field) {
                py::raise_internal("variable-length Tuple has an element field");
                return {};
            }
            py::Ref element = field_value_annotation(field.get());
            if (!element) return {};
            py::Ref args = py::Ref::steal(PyTuple_Pack(2, element.get(), Py_Ellipsis));
            return args ? subscript(tuple_cls, args.get()) : py::Ref();
        }
        case KindId::Union: {
            py::Ref items = map_list(std::get<UnionKind>(e.kind).candidates.get(), filled_annotation);
            return items ? subscript(py::imported<"typing", "Union">(), items.get()) : py::Ref();
        }
        case KindId::Object: {
            const ObjectKind& o = std::get<ObjectKind>(e.kind);
            if (o.forward_ref) return forward_annotation(o.forward_ref.get());
            if (e.value_type) return e.value_type;
            py::raise_internal("resolved Object has a value_type");
            return {};
        }
        case KindId::Type: {
            const TypeKind& t = std::get<TypeKind>(e.kind);
            py::Ref arg = t.forward_ref ? forward_annotation(t.forward_ref.get()) : t.t;
            return arg ? subscript(reinterpret_cast<PyObject*>(&PyType_Type), arg.get()) : py::Ref();
        }
        case KindId::Dict: {
            PyObject* any = py::imported<"typing", "Any">();
            if (!any) return {};
            py::Ref args = py::Ref::steal(
                PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), any));
            return args ? subscript(reinterpret_cast<PyObject*>(&PyDict_Type), args.get())
                        : py::Ref();
        }
        case KindId::Callable: {
            const CallableKind& c = std::get<CallableKind>(e.kind);
            if (!c.is_functor) return callable_annotation(c);
            if (e.value_type) return e.value_type;
            py::raise_internal("Functor has a value_type");
            return {};
        }
    }
    return {};
}

}  // namespace

PyObject* get_annotation(PyObject* self) {
    return read(self, [](const SpecEngine& e) -> PyObject* {
        py::Ref annotation = kind_annotation(e);
        if (!annotation || e.id() == KindId::Any || !e.is_noneable) return annotation.release();
        const int missing = is_missing(annotation.get());
        if (missing < 0) return nullptr;
        if (missing) return annotation.release();
        return subscript(py::imported<"typing", "Optional">(), annotation.get()).release();
    });
}

// --- strictness -----------------------------------------------------------------------

namespace {

// The specs below `e` that strictness reaches, collected while `e` is held.
[[nodiscard]] bool strict_children(const SpecEngine& e, std::vector<py::Ref>& out) {
    auto field_values = [&](PyObject* iterable) {
        PyObject* name = py::intern<"value">();
        py::Ref it = py::Ref::steal(name ? PyObject_GetIter(iterable) : nullptr);
        if (!it) return false;
        while (py::Ref field = py::Ref::steal(PyIter_Next(it.get()))) {
            py::Ref value = py::Ref::steal(PyObject_GetAttr(field.get(), name));
            if (!value) return false;
            out.push_back(std::move(value));
        }
        return !PyErr_Occurred();
    };
    switch (e.id()) {
        case KindId::List: out.push_back(std::get<ListKind>(e.kind).element); return true;
        case KindId::Tuple: return field_values(std::get<TupleKind>(e.kind).elements.get());
        case KindId::Dict: {
            PyObject* schema = std::get<DictKind>(e.kind).schema.get();
            if (!schema || schema == Py_None) return true;
            PyObject* fields_name = py::intern<"fields">();
            PyObject* values_name = py::intern<"values">();
            if (!fields_name || !values_name) return false;
            py::Ref fields = py::Ref::steal(PyObject_GetAttr(schema, fields_name));
            py::Ref values =
                py::Ref::steal(fields ? PyObject_CallMethodNoArgs(fields.get(), values_name)
                                      : nullptr);
            return values && field_values(values.get());
        }
        case KindId::Union: {
            PyObject* candidates = std::get<UnionKind>(e.kind).candidates.get();
            for (Py_ssize_t i = 0;; ++i) {
                py::Ref candidate = py::list_item(candidates, i);
                if (!candidate) break;
                out.push_back(std::move(candidate));
            }
            return true;
        }
        default: return true;
    }
}

}  // namespace

PyObject* spec_materialize_strict(PyObject* self) {
    std::vector<py::Ref> children;
    {
        py::ExclusiveBorrow hold(spec_borrow(self));
        if (!begin_mutation(hold)) return nullptr;
        SpecEngine& engine = spec_engine(self);
        if (engine.strict == Tri::Unset) {
            engine.strict = Tri::True;
            engine.repr_cache.clear();
        }
        if (!strict_children(engine, children)) return nullptr;
    }
    PyObject* name = py::intern<"_materialize_strict">();
    if (!name) return nullptr;
    for (const py::Ref& child : children) {
        py::Ref done = py::Ref::steal(PyObject_CallMethodNoArgs(child.get(), name));
        if (!done) return nullptr;
    }
    return py::none();
}

}  // namespace vesk::typing
