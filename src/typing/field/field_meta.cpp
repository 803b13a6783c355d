#include "typing/field/field_meta.hpp"

#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/change_epoch.hpp"
#include "typing/value_spec/engine/classify.hpp"

#include <atomic>
#include <unordered_set>

namespace vesk::typing::field {

namespace funnel = typing::funnel;

namespace {

// Reads `obj.name` and takes its truth value: 1, 0 or -1.
template <py::Literal Name>
int attr_truth(PyObject* obj) {
    py::Ref v = py::get_attr<Name>(obj);
    return v ? PyObject_IsTrue(v.get()) : -1;
}

// The value spec's `symbolic`: a failed read or a value that is neither None
// nor a bool counts as unset.
Tri read_symbolic(PyObject* value_spec) {
    py::Ref v = py::get_attr<"symbolic">(value_spec);
    if (!v) {
        PyErr_Clear();
        return Tri::Unset;
    }
    if (v.get() == Py_True) return Tri::True;
    if (v.get() == Py_False) return Tri::False;
    return Tri::Unset;
}

// What the field keeps of its spec's settings: the symbolic flag, whether
// a missing value has a usable default, and whether the spec is frozen.
[[nodiscard]] bool read_default_facts(PyObject* field, PyObject* value_spec, FieldMeta& m) {
    m.symbolic = read_symbolic(value_spec);
    const int has_default = attr_truth<"has_default">(value_spec);
    if (has_default < 0) return false;
    if (has_default) {
        py::Ref factory = py::get_attr<"default_factory">(value_spec);
        if (!factory) return false;
        if (factory.get() != Py_None) {
            m.has_default = true;
        } else {
            py::Ref value = py::get_attr<"default_value">(field);
            if (!value) return false;
            const int carries = default_carries_missing(value.get());
            if (carries < 0) return false;
            m.default_carries_missing = carries == 1;
            m.has_default = m.symbolic != Tri::False || !m.default_carries_missing;
        }
    }
    const int frozen = attr_truth<"frozen">(value_spec);
    if (frozen < 0) return false;
    m.frozen = frozen == 1;
    return true;
}

// The specs to classify: a Union's candidates in order, else the spec.
[[nodiscard]] bool candidate_specs(PyObject* value_spec, std::vector<py::Ref>& out) {
    funnel::NativeFacts facts;
    if (!funnel::native_facts(value_spec, facts)) return false;
    if (!facts.is_union) {
        out.push_back(py::Ref::borrow(value_spec));
        return true;
    }
    py::Ref candidates = py::get_attr<"candidates">(value_spec);
    py::Ref it = py::Ref::steal(candidates ? PyObject_GetIter(candidates.get()) : nullptr);
    if (!it) return false;
    while (py::Ref c = py::Ref::steal(PyIter_Next(it.get()))) out.push_back(std::move(c));
    return !PyErr_Occurred();
}

bool holds(const std::vector<py::Ref>& list, PyObject* cls) noexcept {
    for (const py::Ref& c : list)
        if (c.get() == cls) return true;
    return false;
}

bool checked_holds(const FieldMeta& m, PyObject* cls) noexcept {
    for (const auto& pair : m.checked)
        if (pair.first.get() == cls) return true;
    return false;
}

void add_exact(FieldMeta& m, PyObject* cls) {
    if (!holds(m.exact, cls)) m.exact.push_back(py::Ref::borrow(cls));
}

// Classifies what the spec (each candidate of a Union) accepts as it is:
// exact leaf classes, classes checked by a per-type `_validate` hook,
// subclass tests, int-to-float widening and the containers to wrap.
[[nodiscard]] bool classify_candidates(PyObject* value_spec, FieldMeta& m) {
    std::vector<py::Ref> candidates;
    if (!candidate_specs(value_spec, candidates)) return false;
    bool any_candidate = false, float_widenable = false, tuple_container = false;
    for (const py::Ref& c : candidates) {
        // What the candidate accepts as it is, as its element rule reads it.
        funnel::Acceptance accepts;
        if (!funnel::spec_acceptance(c.get(), funnel::AcceptanceReads::Field, accepts)) return false;
        any_candidate |= accepts.facts.is_any && accepts.facts.untouched;
        bool classified = false;
        if (accepts.exact) {
            add_exact(m, accepts.exact.get());
            classified = true;
        }
        // Only a Float that applies an int as `float(int)` and nothing more:
        // a transform or a freeze would make something else of it.
        float_widenable |= accepts.widens_int;
        if (accepts.checked) {
            if (!checked_holds(m, accepts.checked.get()))
                m.checked.emplace_back(std::move(accepts.checked), c);
            classified = true;
        }
        if (accepts.object) {
            m.subclass.push_back(std::move(accepts.object));
            classified = true;
        }
        if (accepts.container) {
            m.wrap = true;
            tuple_container |= accepts.facts.is_tuple;
        } else {
            m.custom_apply |= !classified;
        }
    }
    funnel::NativeFacts own;
    if (!funnel::native_facts(value_spec, own)) return false;
    if (own.is_native && own.noneable && own.untouched)
        add_exact(m, reinterpret_cast<PyObject*>(Py_TYPE(Py_None)));
    if (any_candidate) {
        PyObject* const fast[] = {
            reinterpret_cast<PyObject*>(&PyLong_Type),
            reinterpret_cast<PyObject*>(&PyUnicode_Type),
            reinterpret_cast<PyObject*>(&PyFloat_Type),
            reinterpret_cast<PyObject*>(&PyBool_Type),
            reinterpret_cast<PyObject*>(Py_TYPE(Py_None)),
            reinterpret_cast<PyObject*>(&PyBytes_Type),
            reinterpret_cast<PyObject*>(&PyTuple_Type),
            reinterpret_cast<PyObject*>(&PySet_Type),
            reinterpret_cast<PyObject*>(&PyFrozenSet_Type),
        };
        PyObject* const int_type = fast[0];
        for (PyObject* cls : fast) {
            if (checked_holds(m, cls)) continue;
            if (cls == fast[3] && checked_holds(m, int_type)) continue;
            if (cls == fast[6] && tuple_container) continue;
            add_exact(m, cls);
        }
    }
    // An int that a candidate takes as an int (exactly, or after its check)
    // stays an int.
    PyObject* const int_type = reinterpret_cast<PyObject*>(&PyLong_Type);
    m.widen_to_float = float_widenable && !holds(m.exact, int_type) && !checked_holds(m, int_type);
    if (m.wrap) {
        funnel::FillInfo fill;
        if (!funnel::container_fill_info(value_spec, fill)) return false;
        m.scalar_elements = fill.code != 2 && fill.proven;
    }
    return true;
}

}  // namespace

int default_carries_missing(PyObject* value) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    PyObject* missing_type = bridge->missing_type.get();
    // Depth-first over an explicit stack, each container entered once: the
    // pending values are held here, so nothing depends on the native stack
    // and a container that holds itself ends the branch instead of looping.
    std::vector<py::Ref> pending{py::Ref::borrow(value)};
    std::unordered_set<PyObject*> seen;
    std::vector<py::Ref> seen_alive;  // keeps `seen` addresses from being reused
    while (!pending.empty()) {
        py::Ref v = std::move(pending.back());
        pending.pop_back();
        const int missing = PyObject_IsInstance(v.get(), missing_type);
        if (missing != 0) return missing;
        const bool is_tuple = PyTuple_Check(v.get());
        const bool is_list = !is_tuple && PyList_Check(v.get());
        if (!is_tuple && !is_list && !PyDict_Check(v.get())) continue;
        if (!seen.insert(v.get()).second) continue;
        // Lists and dicts are read through a snapshot taken under their own
        // lock; the scan then runs user code (instance checks) without it.
        py::Ref items = is_tuple ? v
                        : py::Ref::steal(is_list ? PyList_AsTuple(v.get()) : PyDict_Values(v.get()));
        if (!items) return -1;
        seen_alive.push_back(std::move(v));
        PyObject* seq = items.get();
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq);
        PyObject** data = PySequence_Fast_ITEMS(seq);
        for (Py_ssize_t i = n; i-- > 0;) pending.push_back(py::Ref::borrow(data[i]));
    }
    return 0;
}

FieldMetaRef build_field_meta(PyObject* const_text, PyObject* field, PyObject* value_spec) {
    static std::atomic<std::uint64_t> LAST_SERIAL{0};
    auto m = std::make_shared<FieldMeta>();
    m->serial = LAST_SERIAL.fetch_add(1, std::memory_order_relaxed) + 1;
    m->epoch = change_epoch();
    m->const_text = py::Ref::borrow(const_text);
    m->value_spec = py::Ref::borrow(value_spec);
    const int validate = attr_truth<"enable_validation">(field);
    if (validate < 0) return nullptr;
    m->validate = validate == 1;
    if (!read_default_facts(field, value_spec, *m)) return nullptr;
    if (!m->validate) {
        m->accept_any = true;
        return m;
    }
    py::Ref validator = py::get_attr<"validator">(field);
    if (!validator) return nullptr;
    if (validator.get() != Py_None) {
        m->custom_apply = true;
        return m;
    }
    if (!classify_candidates(value_spec, *m)) return nullptr;
    return m;
}

}  // namespace vesk::typing::field
