#include "typing/funnel/elem_rule.hpp"

#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "typing/fast_types.hpp"
#include "typing/funnel/classify.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing::funnel {

namespace {

// An exact-class object candidate is refused only when its class may be
// partial and the value says it is.
int object_matches(PyObject* cls, PyObject* value) {
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(cls)) return 0;
    const int maybe = is_maybe_partial(value);
    if (maybe <= 0) return maybe < 0 ? -1 : 1;
    const int partial = read_sym_partial(value);
    return partial < 0 ? -1 : !partial;
}

// What an element spec that is the native Any, Dict or neither allows,
// read in one shared borrow.
struct ContainerFacts {
    bool is_any = false;
    bool is_dict = false;
    bool plain = false;
    py::Ref schema;
};

bool container_facts(PyObject* spec, ContainerFacts& out) {
    if (!is_spec(spec)) return true;
    py::SharedBorrow b(spec_borrow(spec));
    if (!b.acquire()) return false;
    const SpecEngine& e = spec_engine(spec);
    out.plain = !e.frozen && !e.transform;
    out.is_any = e.id() == KindId::Any;
    if (const auto* d = kind_as<DictKind>(e.kind)) {
        out.is_dict = true;
        out.schema = d->schema;
    }
    return true;
}

}  // namespace

bool const_bulk_check(PyObject* schema, py::Ref& out) {
    out.reset();
    if (!schema || schema == Py_None) return true;
    PyObject* name = py::intern<"_const_bulk_check">();
    if (!name) return false;
    PyObject* found = nullptr;
    if (PyObject_GetOptionalAttr(schema, name, &found) < 0) return false;
    py::Ref check = py::Ref::steal(found);
    if (check && PyTuple_Check(check.get())) out = std::move(check);
    return true;
}

int const_keys_match(PyObject* pairs, PyObject* value) {
    if (!PyDict_CheckExact(value)) return 0;
    const Py_ssize_t n = PyTuple_GET_SIZE(pairs);
    if (PyDict_GET_SIZE(value) != n) return 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* pair = PyTuple_GET_ITEM(pairs, i);
        py::Ref key, cls;
        if (PyTuple_CheckExact(pair) && PyTuple_GET_SIZE(pair) == 2) {
            key = py::Ref::borrow(PyTuple_GET_ITEM(pair, 0));
            cls = py::Ref::borrow(PyTuple_GET_ITEM(pair, 1));
        } else {
            key = py::Ref::steal(PySequence_GetItem(pair, 0));
            if (!key) return -1;
            cls = py::Ref::steal(PySequence_GetItem(pair, 1));
            if (!cls) return -1;
        }
        PyObject* found = nullptr;
        const int present = PyDict_GetItemRef(value, key.get(), &found);
        py::Ref held = py::Ref::steal(found);
        if (present <= 0) return present;
        if (reinterpret_cast<PyObject*>(Py_TYPE(held.get())) != cls.get()) return 0;
    }
    return 1;
}

int ElemRule::matches(PyObject* value) const {
    switch (kind) {
        case Kind::ExactType:
            return reinterpret_cast<PyObject*>(Py_TYPE(value)) == payload.get();
        case Kind::AcceptAny:
            return is_any_fast_type(value, allow_containers);
        case Kind::ObjectCandidate:
            return object_matches(payload.get(), value);
        case Kind::ConstKeyDict:
            return const_keys_match(payload.get(), value);
        case Kind::Slow:
            break;
    }
    return 0;
}

bool elem_rule(PyObject* spec, bool allow_containers, ElemRule& out) {
    out = ElemRule{};
    py::Ref leaf;
    if (!spec_exact_leaf_type(spec, leaf)) return false;
    ContainerFacts facts;
    if (leaf) {
        if (leaf.get() != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
            out.kind = ElemRule::Kind::ExactType;
            out.payload = std::move(leaf);
            return true;
        }
        if (!container_facts(spec, facts)) return false;
        if (!facts.is_any) {
            out.kind = ElemRule::Kind::ExactType;
            out.payload = std::move(leaf);
        } else if (facts.plain) {
            out.kind = ElemRule::Kind::AcceptAny;
            out.allow_containers = allow_containers;
        }
        return true;
    }
    py::Ref cls;
    if (!is_object_candidate(spec, cls)) return false;
    if (cls) {
        out.kind = ElemRule::Kind::ObjectCandidate;
        out.payload = std::move(cls);
        return true;
    }
    if (!allow_containers) return true;
    if (!container_facts(spec, facts)) return false;
    if (!facts.is_dict || !facts.plain) return true;
    py::Ref pairs;
    if (!const_bulk_check(facts.schema.get(), pairs)) return false;
    if (pairs) {
        out.kind = ElemRule::Kind::ConstKeyDict;
        out.payload = std::move(pairs);
    }
    return true;
}

int all_match(const ElemRule& rule, PyObject* container) {
    if (rule.kind == ElemRule::Kind::Slow) return 0;
    if (PyList_CheckExact(container)) {
        if (rule.pure()) {
            // Identity tests only: no Python code runs, so the whole scan may
            // hold the list's lock.
            py::CriticalSection guard(container);
            const Py_ssize_t n = PyList_GET_SIZE(container);
            for (Py_ssize_t i = 0; i < n; ++i)
                if (!rule.matches(PyList_GET_ITEM(container, i))) return 0;
            return 1;
        }
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref item = py::list_item(container, i);
            if (!item) return 1;
            const int r = rule.matches(item.get());
            if (r <= 0) return r;
        }
    }
    if (PyTuple_CheckExact(container)) {
        // A tuple keeps its items alive and never changes.
        const Py_ssize_t n = PyTuple_GET_SIZE(container);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const int r = rule.matches(PyTuple_GET_ITEM(container, i));
            if (r <= 0) return r;
        }
        return 1;
    }
    py::Ref it = py::Ref::steal(PyObject_GetIter(container));
    if (!it) return -1;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get()))) {
        const int r = rule.matches(item.get());
        if (r <= 0) return r;
    }
    return PyErr_Occurred() ? -1 : 1;
}

int elements_all_match(PyObject* spec, PyObject* container, bool allow_containers) {
    ElemRule rule;
    if (!elem_rule(spec, allow_containers, rule)) return -1;
    return all_match(rule, container);
}

}  // namespace vesk::typing::funnel
