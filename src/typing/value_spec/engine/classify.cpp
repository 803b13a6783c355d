#include "typing/value_spec/engine/classify.hpp"

#include "py/named.hpp"
#include "typing/value_spec/engine/probes.hpp"


namespace vesk::typing::funnel {

namespace {

using typing::KindId;
using typing::SpecEngine;

bool is_scalar_leaf_type(PyObject* t) noexcept {
    return t == reinterpret_cast<PyObject*>(&PyLong_Type) ||
           t == reinterpret_cast<PyObject*>(&PyFloat_Type) ||
           t == reinterpret_cast<PyObject*>(&PyUnicode_Type) ||
           t == reinterpret_cast<PyObject*>(&PyBool_Type) ||
           t == reinterpret_cast<PyObject*>(&PyBytes_Type) ||
           t == reinterpret_cast<PyObject*>(Py_TYPE(Py_None));
}

// Reads `obj.name` when present: `out` empty when absent.
template <py::Literal Name>
[[nodiscard]] bool optional_attr(PyObject* obj, py::Ref& out) {
    return py::get_optional_attr<Name>(obj, out) >= 0;
}

}  // namespace

bool proven_scalar_leaf(PyObject* spec, bool& out) {
    py::Ref cls;
    if (!spec_exact_leaf_type(spec, cls)) return false;
    out = cls && is_scalar_leaf_type(cls.get());
    return true;
}

int is_scalar_identity_transform(PyObject* fn) {
    return py::has_attr<"_vesk_scalar_identity">(fn);
}

namespace {

// The facts of a native spec's engine, read under the caller's hold.
NativeFacts facts_of(const SpecEngine& e) {
    NativeFacts f;
    f.is_native = true;
    f.untouched = untouched(e);
    f.is_any = e.id() == KindId::Any;
    if (const auto* n = typing::kind_as<typing::NumberKind>(e.kind)) f.is_float = n->is_float;
    f.strict_true = e.strict == typing::Tri::True;
    f.is_tuple = e.id() == KindId::Tuple;
    f.is_list = e.id() == KindId::List;
    f.is_union = e.id() == KindId::Union;
    f.noneable = e.is_noneable;
    return f;
}

}  // namespace

bool native_facts(PyObject* spec, NativeFacts& out) {
    out = NativeFacts{};
    if (!typing::is_spec(spec)) return true;
    SpecRead held(spec);
    if (!held) return false;
    out = facts_of(*held);
    return true;
}

bool spec_exact_leaf_type(PyObject* spec, py::Ref& out) {
    out.reset();
    if (typing::is_spec(spec)) {
        SpecRead e(spec);
        if (!e) return false;
        out = py::Ref::borrow(typing::native_exact_leaf(*e));
        return true;
    }
    py::Ref declared;
    if (!optional_attr<"_exact_leaf_type">(spec, declared)) return false;
    if (declared) {
        if (declared.get() != Py_None) out = std::move(declared);
        return true;
    }
    py::Ref info = py::get_attr<"fast_apply_info">(spec);
    if (!info) return false;
    py::Ref eligible = py::get_attr<"is_eligible">(info.get());
    if (!eligible) return false;
    const int truth = PyObject_IsTrue(eligible.get());
    if (truth < 0) return false;
    if (!truth) return true;
    out = py::get_attr<"value_type">(info.get());
    return static_cast<bool>(out);
}

bool spec_checked_leaf_type(PyObject* spec, py::Ref& out) {
    out.reset();
    if (typing::is_spec(spec)) {
        SpecRead e(spec);
        if (!e) return false;
        out = py::Ref::borrow(typing::native_checked_leaf(*e));
        return true;
    }
    py::Ref declared;
    if (!optional_attr<"_checked_leaf_type">(spec, declared)) return false;
    if (declared && declared.get() != Py_None) out = std::move(declared);
    return true;
}

bool is_object_candidate(PyObject* spec, py::Ref& out) {
    out.reset();
    if (!typing::is_spec(spec)) return true;
    Acceptance accepts;
    if (!spec_acceptance(spec, AcceptanceReads::Element, accepts)) return false;
    out = std::move(accepts.object);
    return true;
}

bool is_container_candidate(PyObject* spec, bool& out) {
    out = false;
    Acceptance accepts;
    if (!spec_acceptance(spec, AcceptanceReads::EngineOnly, accepts)) return false;
    out = accepts.container;
    return true;
}

bool spec_acceptance(PyObject* spec, AcceptanceReads reads, Acceptance& out) {
    out = Acceptance{};
    const bool with_checked = reads != AcceptanceReads::Element;
    if (!typing::is_spec(spec)) {
        if (reads == AcceptanceReads::EngineOnly) return true;
        if (!spec_exact_leaf_type(spec, out.exact)) return false;
        return !with_checked || spec_checked_leaf_type(spec, out.checked);
    }
    py::Ref forward_ref;
    {
        SpecRead held(spec);
        if (!held) return false;
        const SpecEngine& e = *held;
        out.facts = facts_of(e);
        const NativeFacts& f = out.facts;
        out.exact = py::Ref::borrow(typing::native_exact_leaf(e));
        if (with_checked) out.checked = py::Ref::borrow(typing::native_checked_leaf(e));
        if (const auto* o = typing::kind_as<typing::ObjectKind>(e.kind); o && f.untouched) {
            if (o->forward_ref)
                forward_ref = o->forward_ref;
            else
                out.object = e.value_type;
        }
        const KindId id = e.id();
        out.container =
            f.untouched && (id == KindId::List || id == KindId::Tuple || id == KindId::Dict);
        out.widens_int = f.is_float && !f.strict_true && f.untouched;
        out.takes_none = f.noneable && f.untouched;
    }
    if (!forward_ref || out.exact || reads == AcceptanceReads::EngineOnly) return true;
    // As `is_object_candidate`: a forward reference names its class only once
    // resolved.
    py::Ref cls = py::get_attr<"cls">(forward_ref.get());
    if (!cls) return false;
    if (cls.get() != Py_None) out.object = std::move(cls);
    return true;
}

bool container_fill_info(PyObject* spec, FillInfo& out) {
    out = FillInfo{};
    if (!typing::is_spec(spec)) return true;
    // The element specs are taken under the borrow and proven after it: a
    // proof may read attributes of specs written in Python.
    py::Ref element;
    py::Ref tuple_fields;
    {
        SpecRead held(spec);
        if (!held) return false;
        const SpecEngine& e = *held;
        if (const auto* l = typing::kind_as<typing::ListKind>(e.kind)) {
            out.code = 1;
            element = l->element;
        } else if (const auto* d = typing::kind_as<typing::DictKind>(e.kind)) {
            out.code = 1;
            if (!d->open_str_value_spec) return true;
            element = d->open_str_value_spec;
        } else if (const auto* t = typing::kind_as<typing::TupleKind>(e.kind)) {
            out.code = 0;
            tuple_fields = t->elements;
        } else {
            return true;
        }
    }
    if (element) return proven_scalar_leaf(element.get(), out.proven);
    if (!tuple_fields) return true;
    py::Ref it = py::Ref::steal(PyObject_GetIter(tuple_fields.get()));
    if (!it) return false;
    while (py::Ref f = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref v = py::get_attr<"value">(f.get());
        if (!v) return false;
        bool proven = false;
        if (!proven_scalar_leaf(v.get(), proven)) return false;
        if (!proven) return true;
    }
    if (PyErr_Occurred()) return false;
    out.proven = true;
    return true;
}

}  // namespace vesk::typing::funnel
