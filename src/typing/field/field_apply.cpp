// What a Field does with a value: `apply` (value spec, then the caller's
// transform, then the validator), and construction from an annotation
// through the package.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/args.hpp"
#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/utilities/texts.hpp"

namespace vesk::typing::field {

namespace {

// Re-raises the validator's pending failure as a new exception of the same
// class whose message adds the path, the original chained as its cause; a
// class that cannot be built from one message keeps the original. An error
// of str(root_path) replaces the failure.
void wrap_validator_error(PyObject* root_path) {
    py::Ref caught = py::Ref::steal(PyErr_GetRaisedException());
    py::Ref path_text = path_text_of(root_path);
    if (!path_text) return;
    PyErr_SetRaisedException(wrap_transform_error(caught.get(), path_text.get()).release());
}

// The path a transform receives: the root path when it is truthy, else a
// new empty key path.
py::Ref transform_path(PyObject* root_path) {
    if (root_path) {
        const int truth = PyObject_IsTrue(root_path);
        if (truth < 0) return {};
        if (truth) return py::Ref::borrow(root_path);
    }
    return topology::make_key_path(std::span<const topology::Key>{});
}

// The validator's step of `apply` on what the spec and the transform made
// of the value (none for a missing value). 0 or -1.
int run_validator(Scoped self, PyObject* value, PyObject* root_path) {
    py::Ref validator;
    {
        Reading s = self.shared();
        if (!s) return -1;
        validator = s->validator;
    }
    return call_validator(validator.get(), value, root_path);
}

}  // namespace

int call_validator(PyObject* validator, PyObject* value, PyObject* root_path) {
    if (!validator || validator == Py_None) return 0;
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    const int missing = PyObject_IsInstance(value, bridge->missing_type.get());
    if (missing != 0) return missing < 0 ? -1 : 0;
    py::Ref ignored = py::Ref::steal(PyObject_CallOneArg(validator, value));
    if (ignored) return 0;
    wrap_validator_error(root_path);
    return -1;
}

py::Params<5> kApplyParams{"apply",
                           {"value", "allow_partial=False", "transform_fn=None", "root_path=None",
                            "inplace=True"},
                           5,
                           1};
py::Params<6> kFromAnnotationParams{"from_annotation",
                                    {"key", "annotation", "description=None", "metadata=None",
                                     "auto_typing=True", "parent_module=None"},
                                    6,
                                    2};

// Two separate reads, each under its own shared hold released before any
// Python code runs: the value spec first, the validator after the spec and
// the transform ran, so a validator they stored is the one used.
PyObject* field_apply(Scoped self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<5> a;
    if (!py::parse(kApplyParams, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial = false, inplace = true;
    if (a[1] && !py::arg_bool("allow_partial", a[1], allow_partial)) return nullptr;
    if (a[4] && !py::arg_bool("inplace", a[4], inplace)) return nullptr;
    PyObject* transform_fn = a[2] && a[2] != Py_None ? a[2] : nullptr;
    PyObject* root_path = a[3] && a[3] != Py_None ? a[3] : nullptr;

    py::Ref spec = field_value_spec(self.object());
    if (!spec) return nullptr;
    PyObject* call_args[] = {spec.get(), a[0], allow_partial ? Py_True : Py_False,
                             transform_fn ? transform_fn : Py_None,
                             root_path ? root_path : Py_None, inplace ? Py_True : Py_False};
    py::Ref current =
        py::call_method_kw<"apply", "allow_partial", "child_transform", "root_path", "inplace">(
            call_args);
    if (!current) return nullptr;

    if (transform_fn) {
        py::Ref path = transform_path(root_path);
        if (!path) return nullptr;
        PyObject* targs[] = {path.get(), self.object(), current.get()};
        current = py::Ref::steal(PyObject_Vectorcall(transform_fn, targs, 3, nullptr));
        if (!current) return nullptr;
    }

    return run_validator(self, current.get(), root_path) < 0 ? nullptr : current.release();
}

int apply_validator(PyObject* field, PyObject* value, PyObject* root_path) {
    return run_validator(Scoped(field), value, root_path);
}

PyObject* field_from_annotation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<6> a;
    if (!py::parse(kFromAnnotationParams, args, nargs, kwnames, a)) return nullptr;
    bool auto_typing = true;
    if (a[4] && !py::arg_bool("auto_typing", a[4], auto_typing)) return nullptr;
    PyObject* fn = field_from_annotation_fn();
    if (!fn) return nullptr;
    PyObject* call_args[] = {a[0],
                             a[1],
                             a[2] ? a[2] : Py_None,
                             a[3] ? a[3] : Py_None,
                             auto_typing ? Py_True : Py_False,
                             a[5] ? a[5] : Py_None};
    return PyObject_Vectorcall(fn, call_args, 6, nullptr);
}

}  // namespace vesk::typing::field
