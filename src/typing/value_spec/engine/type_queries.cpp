// What a spec's value type depends on, and the type it resolves to.
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_checks.hpp"

namespace vesk::typing {

namespace {

py::Ref empty_refs() {
    const TypingBridge* bridge = typing_bridge();
    return bridge ? bridge->empty_forward_refs : py::Ref();
}

// `refs.update(obj.forward_refs)`.
int add_refs_of(PyObject* refs, PyObject* obj) {
    py::Ref theirs = py::get_attr<"forward_refs">(obj);
    if (!theirs) return -1;
    PyObject* update = py::intern<"update">();
    if (!update) return -1;
    py::Ref done = py::Ref::steal(PyObject_CallMethodOneArg(refs, update, theirs.get()));
    return done ? 0 : -1;
}

// A new empty set, made by calling the built-in `set`.
py::Ref py_set() {
    PyObject* set = py::imported<"builtins", "set">();
    return set ? py::Ref::steal(PyObject_CallNoArgs(set)) : py::Ref();
}

enum class Part : std::uint8_t { Itself, Value, Second };

// Adds the refs of each item of a list (its `value` attribute, or its item 1,
// as `part` says). The list is read one item at a time under its lock, since
// the calls in between run Python code.
int add_refs_of_items(PyObject* refs, PyObject* list, Part part) {
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) return 0;
        if (part == Part::Value)
            item = py::get_attr<"value">(item.get());
        else if (part == Part::Second)
            item = py::Ref::steal(PySequence_GetItem(item.get(), 1));
        if (!item || add_refs_of(refs, item.get()) < 0) return -1;
    }
}

// A new set holding the refs of the items of `list`.
py::Ref refs_of_items(PyObject* list, Part part) {
    py::Ref refs = py_set();
    if (!refs || add_refs_of_items(refs.get(), list, part) < 0) return {};
    return refs;
}

}  // namespace

py::Ref forward_refs(const SpecEngine& engine) {
    const KindOps& kind = ops(engine);
    return kind.forward_refs ? kind.forward_refs(engine) : empty_refs();
}

int type_resolved(const SpecEngine& engine) {
    py::Ref refs = forward_refs(engine);
    if (!refs) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(refs.get()));
    if (!it) return -1;
    while (py::Ref ref = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref resolved = py::get_attr<"resolved">(ref.get());
        if (!resolved) return -1;
        const int truth = PyObject_IsTrue(resolved.get());
        if (truth <= 0) return truth;
    }
    return PyErr_Occurred() ? -1 : 1;
}

int value_type_obj(const SpecEngine& engine, py::Ref& out) {
    const KindOps& kind = ops(engine);
    if (!kind.value_type_obj) {
        out = engine.value_type;
        return 0;
    }
    out = kind.value_type_obj(engine);
    return out || !PyErr_Occurred() ? 0 : -1;
}

py::Ref list_forward_refs(const SpecEngine& engine) {
    const ListKind* list = kind_as<ListKind>(engine.kind);
    if (!list) return empty_refs();
    return py::get_attr<"forward_refs">(list->element.get());
}

py::Ref tuple_forward_refs(const SpecEngine& engine) {
    const TupleKind* tuple = kind_as<TupleKind>(engine.kind);
    if (!tuple) return empty_refs();
    return refs_of_items(tuple->elements.get(), Part::Value);
}

py::Ref union_forward_refs(const SpecEngine& engine) {
    const UnionKind* u = kind_as<UnionKind>(engine.kind);
    if (!u) return empty_refs();
    return refs_of_items(u->candidates.get(), Part::Itself);
}

py::Ref dict_forward_refs(const SpecEngine& engine) {
    const DictKind* dict = kind_as<DictKind>(engine.kind);
    if (!dict) return empty_refs();
    py::Ref refs = py_set();
    if (!refs || dict->schema.get() == Py_None) return refs;
    py::Ref fields = py::get_attr<"fields">(dict->schema.get());
    if (!fields) return {};
    PyObject* values_name = py::intern<"values">();
    if (!values_name) return {};
    py::Ref values = py::Ref::steal(PyObject_CallMethodNoArgs(fields.get(), values_name));
    if (!values) return {};
    py::Ref it = py::Ref::steal(PyObject_GetIter(values.get()));
    if (!it) return {};
    while (py::Ref field = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref spec = py::get_attr<"value">(field.get());
        if (!spec || add_refs_of(refs.get(), spec.get()) < 0) return {};
    }
    return PyErr_Occurred() ? py::Ref() : refs;
}

py::Ref callable_forward_refs(const SpecEngine& engine) {
    const CallableKind* callable = kind_as<CallableKind>(engine.kind);
    if (!callable) return empty_refs();
    py::Ref refs = py_set();
    if (!refs || add_refs_of_items(refs.get(), callable->args.get(), Part::Itself) < 0 ||
        add_refs_of_items(refs.get(), callable->kw.get(), Part::Second) < 0)
        return {};
    if (callable->returns && add_refs_of(refs.get(), callable->returns.get()) < 0) return {};
    return refs;
}

py::Ref forward_ref_forward_refs(const SpecEngine& engine) {
    PyObject* ref = nullptr;
    if (const ObjectKind* object = kind_as<ObjectKind>(engine.kind))
        ref = object->forward_ref.get();
    else if (const TypeKind* type = kind_as<TypeKind>(engine.kind))
        ref = type->forward_ref.get();
    if (!ref) return empty_refs();
    py::Ref refs = py_set();
    if (!refs || PySet_Add(refs.get(), ref) < 0) return {};
    return refs;
}

py::Ref union_value_type_obj(const SpecEngine& engine) {
    const UnionKind* u = kind_as<UnionKind>(engine.kind);
    if (!u || !engine.value_type) return engine.value_type;
    py::Ref refs = forward_refs(engine);
    if (!refs) return {};
    const Py_ssize_t n = PyObject_Size(refs.get());
    if (n <= 0) return n < 0 ? py::Ref() : engine.value_type;
    // An insertion-ordered dict keeps each class once, at its first place.
    py::Ref seen = py::Ref::steal(PyDict_New());
    if (!seen) return {};
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(u->candidates.get(), i);
        if (!candidate) break;
        py::Ref value_type = py::get_attr<"value_type">(candidate.get());
        if (!value_type) return {};
        if (PyTuple_Check(value_type.get())) {
            const Py_ssize_t k = PyTuple_GET_SIZE(value_type.get());
            for (Py_ssize_t j = 0; j < k; ++j)
                if (PyDict_SetItem(seen.get(), PyTuple_GET_ITEM(value_type.get(), j), Py_None) < 0)
                    return {};
        } else if (PyDict_SetItem(seen.get(), value_type.get(), Py_None) < 0) {
            return {};
        }
    }
    return py::Ref::steal(PySequence_Tuple(seen.get()));
}

py::Ref object_value_type_obj(const SpecEngine& engine) {
    const ObjectKind* object = kind_as<ObjectKind>(engine.kind);
    if (object && object->forward_ref) return py::get_attr<"cls">(object->forward_ref.get());
    return engine.value_type;
}

}  // namespace vesk::typing
