// The module functions of the object seams: argument conversion, then the
// operations of seam_ops.hpp.
#include "symbolic/object/seams/seams.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/seams/seam_ops.hpp"

namespace vesk::symbolic::object {

namespace {

py::Params kInlineFieldsParams{"_native_object_inline_fields", {"obj"}, 1, 1};
py::Params kShallowCloneParams{"_native_object_clone_inline_shallow", {"obj"}, 1, 1};
py::Params kSetItemParams{"_native_object_set_item_no_check", {"obj", "key", "value"}, 3, 3};
py::Params kIsInlineParams{"_probe_object_is_inline", {"obj"}, 1, 1};
py::Params kCloneConstructParams{
    "_native_object_clone_construct",
    {"obj", "allow_partial", "sealed", "kwargs", "src", "deep", "memo"},
    7, 7};

}  // namespace

PyObject* native_object_inline_fields(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kInlineFieldsParams, args, nargs, kwnames, a)) return nullptr;
    if (!is_sym_object(a[0])) return py::none();
    py::Ref fields;
    if (!inline_storage(a[0], fields)) return nullptr;
    return py::new_ref(fields ? fields.get() : Py_None);
}

PyObject* probe_object_is_inline(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kIsInlineParams, args, nargs, kwnames, a)) return nullptr;
    if (!is_sym_object(a[0])) {
        py::raise_arg_type("obj", "SymObject", a[0]);
        return nullptr;
    }
    py::Ref fields;
    if (!inline_storage(a[0], fields)) return nullptr;
    return py::boolean(static_cast<bool>(fields));
}

PyObject* native_object_clone_construct(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    py::Args<7> a;
    bool allow_partial = false;
    bool sealed = false;
    bool deep = false;
    if (!py::parse(kCloneConstructParams, args, nargs, kwnames, a) ||
        !py::arg_bool_scalar("allow_partial", a[1], allow_partial) ||
        !py::arg_bool_scalar("sealed", a[2], sealed) ||
        !py::arg_bool_scalar("deep", a[5], deep))
        return nullptr;
    if (!PyDict_Check(a[3])) {
        py::raise_arg_type("kwargs", "dict", a[3]);
        return nullptr;
    }
    const CloneSource clone{a[4], deep, a[6]};
    const int done = clone_construct(a[0], allow_partial, sealed, a[3], clone);
    return done < 0 ? nullptr : py::boolean(done != 0);
}

PyObject* native_object_clone_inline_shallow(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                             PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kShallowCloneParams, args, nargs, kwnames, a)) return nullptr;
    if (!is_sym_object(a[0])) return py::none();
    py::Ref clone;
    if (!clone_inline_shallow(a[0], clone)) return nullptr;
    return py::new_ref(clone ? clone.get() : Py_None);
}

PyObject* native_object_set_item_no_check(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kSetItemParams, args, nargs, kwnames, a)) return nullptr;
    return set_item_no_check(a[0], a[1], a[2]).release();
}

PyMethodDef object_seam_functions[] = {
    py::function<native_object_inline_fields>(
        kInlineFieldsParams,
        "The live field dictionary of a symbolic object (not a copy), or None."),
    py::function<native_object_clone_inline_shallow>(
        kShallowCloneParams,
        "A shallow clone of a symbolic object, or None where the package clones it."),
    py::function<native_object_clone_construct>(
        kCloneConstructParams,
        "Constructs a symbolic object from already validated values; False where the package "
        "constructs it itself."),
    py::function<native_object_set_item_no_check>(
        kSetItemParams,
        "Writes a field without permission checks or notification; returns the field update, or "
        "None when nothing changed."),
    py::kMethodsEnd,
};

PyMethodDef object_probe_functions[] = {
    py::function<probe_object_is_inline>(
        kIsInlineParams,
        "Whether a symbolic object holds its field dictionary (False only before its "
        "construction)."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::object
