// Spec equality and compatibility: the common steps, then the kind's rule.
#include "typing/value_spec/engine/equality.hpp"

#include "py/named.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

namespace {

[[nodiscard]] PyObject* or_none(const py::Ref& ref) noexcept {
    return ref ? ref.get() : Py_None;
}

int is_instance_of_own_class(PyObject* self, PyObject* other) {
    return PyObject_IsInstance(other, reinterpret_cast<PyObject*>(Py_TYPE(self)));
}

}  // namespace

int spec_is_compatible(PyObject* a, PyObject* b) {
    py::Ref answer = py::call_method<"is_compatible">(a, b);
    if (!answer) return -1;
    if (!PyBool_Check(answer.get())) {
        PyErr_Format(PyExc_TypeError, "is_compatible() must return a bool, not %.200s",
                     Py_TYPE(answer.get())->tp_name);
        return -1;
    }
    return answer.get() == Py_True;
}

int compatible_with_value(PyObject* spec, PyObject* field) {
    py::Ref value = py::get_attr<"value">(field);
    if (!value) return -1;
    return spec_is_compatible(spec, value.get());
}

int common_kind::equal(const SpecEngine&, PyObject*) { return 1; }

Decision common_kind::compatible_first(const SpecEngine&, PyObject*, PyObject*) {
    return Decision::Open;
}

int common_kind::compatible(const SpecEngine&, PyObject*, PyObject*) { return 1; }

int spec_equal(const SpecEngine& engine, PyObject* self, PyObject* other) {
    if (other == self) return 1;
    const int same_class = is_instance_of_own_class(self, other);
    if (same_class != 1) return same_class;
    py::Ref default_value = py::get_attr<"default">(other);
    if (!default_value) return -1;
    py::Ref default_factory = py::get_attr<"default_factory">(other);
    if (!default_factory) return -1;
    py::Ref transform = py::get_attr<"transform">(other);
    if (!transform) return -1;
    int eq = callable_eq(engine.default_value.get(), default_value.get());
    if (eq != 1) return eq;
    eq = callable_eq(or_none(engine.default_factory), default_factory.get());
    if (eq != 1) return eq;
    const int noneable = attr_bool<"is_noneable">(other);
    if (noneable < 0) return -1;
    if ((noneable == 1) != engine.is_noneable) return 0;
    const int frozen = attr_bool<"frozen">(other);
    if (frozen < 0) return -1;
    if ((frozen == 1) != engine.frozen) return 0;
    const int strict = attr_bool<"strict">(other);
    if (strict < 0) return -1;
    if ((strict == 1) != engine.is_strict()) return 0;
    eq = callable_eq(or_none(engine.transform), transform.get());
    if (eq != 1) return eq;
    return ops(engine).equal(engine, other);
}

int spec_compatible(const SpecEngine& engine, PyObject* self, PyObject* other) {
    const KindOps& kind = ops(engine);
    switch (kind.compatible_first(engine, self, other)) {
        case Decision::Error: return -1;
        case Decision::No: return 0;
        case Decision::Yes: return 1;
        case Decision::Open: break;
    }
    if (other == self) return 1;
    const int same_class = is_instance_of_own_class(self, other);
    if (same_class != 1) return same_class;
    if (!engine.is_noneable) {
        const int noneable = attr_bool<"is_noneable">(other);
        if (noneable != 0) return noneable < 0 ? -1 : 0;
    }
    return kind.compatible(engine, self, other);
}

}  // namespace vesk::typing
