// What a spec's value type depends on, and the type it resolves to.
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/forward_refs.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

namespace {

// The bridge's shared empty frozenset: no forward references.
py::Ref no_refs() {
    const TypingBridge* bridge = typing_bridge();
    return bridge ? bridge->empty_forward_refs : py::Ref();
}

}  // namespace

py::Ref common_kind::forward_refs(const SpecEngine&) { return no_refs(); }

py::Ref common_kind::value_type_obj(const SpecEngine& engine) { return engine.value_type; }

py::Ref forward_refs(const SpecEngine& engine) { return ops(engine).forward_refs(engine); }

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
    out = ops(engine).value_type_obj(engine);
    return out || !PyErr_Occurred() ? 0 : -1;
}

py::Ref new_ref_set() {
    return py::call_imported<"builtins", "set">();
}

int add_forward_refs_of(PyObject* refs, PyObject* obj) {
    py::Ref theirs = py::get_attr<"forward_refs">(obj);
    if (!theirs) return -1;
    py::Ref done = py::call_method<"update">(refs, theirs.get());
    return done ? 0 : -1;
}

int add_forward_refs_of_items(PyObject* refs, PyObject* list, RefsOf part) {
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(list, i);
        if (!item) return 0;
        if (part == RefsOf::Value)
            item = py::get_attr<"value">(item.get());
        else if (part == RefsOf::Second)
            item = py::Ref::steal(PySequence_GetItem(item.get(), 1));
        if (!item || add_forward_refs_of(refs, item.get()) < 0) return -1;
    }
}

py::Ref forward_refs_of_items(PyObject* list, RefsOf part) {
    py::Ref refs = new_ref_set();
    if (!refs || add_forward_refs_of_items(refs.get(), list, part) < 0) return {};
    return refs;
}

py::Ref forward_refs_of_one(PyObject* ref) {
    if (!ref) return no_refs();
    py::Ref refs = new_ref_set();
    if (!refs || PySet_Add(refs.get(), ref) < 0) return {};
    return refs;
}

}  // namespace vesk::typing
