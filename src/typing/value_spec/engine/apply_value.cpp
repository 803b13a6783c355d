// The steps of an apply once the value is settled: type check, coercion,
// the per-kind apply and validation.
#include "py/lazy.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"

namespace vesk::typing {

namespace {

PyObject* as_object(PyTypeObject* type) noexcept { return reinterpret_cast<PyObject*>(type); }

// Whether a strict spec admits an exact bool under this value type: only when
// the type is bool or object itself, or a tuple that lists bool.
bool admits_bool(PyObject* value_type) noexcept {
    if (value_type == as_object(&PyBool_Type) || value_type == as_object(&PyBaseObject_Type))
        return true;
    if (!PyTuple_Check(value_type)) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(value_type);
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyTuple_GET_ITEM(value_type, i) == as_object(&PyBool_Type)) return true;
    return false;
}

// 1 when the value passes the check against a plain value type, 0 when it
// must be coerced, -1 on error.
int passes_plain(const SpecEngine& engine, PyObject* value, PyObject* value_type) {
    // bool is an int subclass; a strict spec does not let it pass as one.
    if (engine.is_strict() && Py_IS_TYPE(value, &PyBool_Type) && !admits_bool(value_type))
        return 0;
    if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(value_type)) return 1;
    return PyObject_IsInstance(value, value_type);
}

void raise_expect(PyObject* value_type, PyObject* value, PyObject* path_text) {
    PyErr_Format(PyExc_TypeError, "Expect %S but encountered %R: %S. (path=%S)", value_type,
                 as_object(Py_TYPE(value)), value, path_text);
}

// One coercion target: 1 with `out` set when it accepts, 0 when it passes the
// value on, -1 on error.
int coerce_to(PyObject* target, PyObject* value, py::Ref& out) {
    if (target == as_object(&PyFloat_Type) && PyLong_Check(value)) {
        out = py::Ref::steal(PyNumber_Float(value));
        return out ? 1 : -1;
    }
    PyObject* name;
    if (!py::intern<"__vk_accept__">(name)) return -1;
    PyObject* found = nullptr;
    const int has = PyObject_GetOptionalAttr(target, name, &found);
    if (has <= 0) return has;
    py::Ref hook = py::Ref::steal(found);
    py::Ref result = py::Ref::steal(PyObject_CallOneArg(hook.get(), value));
    if (!result) return -1;
    if (result.get() == Py_NotImplemented) return 0;
    out = std::move(result);
    return 1;
}

int coerce_targets(PyObject* value_type, PyObject* value, py::Ref& out) {
    if (!PyTuple_Check(value_type)) return coerce_to(value_type, value, out);
    // Tuples are immutable: the items are read without a lock.
    const Py_ssize_t n = PyTuple_GET_SIZE(value_type);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const int accepted = coerce_to(PyTuple_GET_ITEM(value_type, i), value, out);
        if (accepted) return accepted;
    }
    return 0;
}

}  // namespace

int common_kind::coerce(const SpecEngine& engine, PyObject* value, PyObject* value_type,
                        PyObject*, py::Ref& out) {
    // A strict spec does not coerce.
    return engine.is_strict() ? 0 : coerce_targets(value_type, value, out);
}

py::Ref common_kind::apply_kind(const SpecEngine&, py::Ref value, const ApplyOptions&,
                                PyObject*) {
    return value;
}

int common_kind::validate(const SpecEngine&, PyObject*, PyObject*) { return 0; }

int validate(const SpecEngine& engine, PyObject* value, PyObject* root_path) {
    return ops(engine).validate(engine, value, root_path);
}

py::Ref coerce_or_raise(const SpecEngine& engine, py::Ref value, PyObject* value_type,
                        PyObject* root_path, PyObject* path_text) {
    py::Ref out;
    const int accepted = ops(engine).coerce(engine, value.get(), value_type, root_path, out);
    if (accepted < 0) return {};
    if (accepted) return out;
    raise_expect(value_type, value.get(), path_text);
    return {};
}

py::Ref apply_after_value(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                          PyObject* path_text) {
    if (PyObject* value_type = engine.value_type.get()) {
        if (is_plain_value_type(value_type)) {
            const int passes = passes_plain(engine, value.get(), value_type);
            if (passes < 0) return {};
            if (!passes) {
                value = coerce_or_raise(engine, std::move(value), value_type, options.root_path,
                                        path_text);
                if (!value) return {};
            }
        } else {
            // A forward reference or a typing construct: checked through the
            // package once it resolves to a type.
            const int resolved = type_resolved(engine);
            if (resolved < 0) return {};
            py::Ref resolved_type;
            if (resolved && value_type_obj(engine, resolved_type) < 0) return {};
            if (resolved_type) {
                const int passes = call_is_instance(value.get(), resolved_type.get());
                if (passes < 0) return {};
                if (!passes) {
                    value = coerce_or_raise(engine, std::move(value), resolved_type.get(),
                                            options.root_path, path_text);
                    if (!value) return {};
                }
            }
        }
    }
    value = ops(engine).apply_kind(engine, std::move(value), options, path_text);
    if (!value) return {};
    if (validate(engine, value.get(), options.root_path) < 0) return {};
    return value;
}

}  // namespace vesk::typing
