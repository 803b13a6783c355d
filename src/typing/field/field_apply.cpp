// What a Field does with values and with other fields: `apply` (value spec,
// then the caller's transform, then the validator), `extend` over a base
// field, copy-on-write ownership of the value spec, and construction from an
// annotation through the package.
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"
#include "typing/field/field_state.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "topology/key_path.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/utilities/texts.hpp"

#include <array>

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

py::Params<5> kApplySig{
    "apply", {"value", "allow_partial", "transform_fn", "root_path", "inplace"}, 5, 1};

}  // namespace

PyObject* field_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<5> a;
    if (!py::parse(kApplySig, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial = false, inplace = true;
    if (a[1] && !py::arg_bool("allow_partial", a[1], allow_partial)) return nullptr;
    if (a[4] && !py::arg_bool("inplace", a[4], inplace)) return nullptr;
    PyObject* transform_fn = a[2] && a[2] != Py_None ? a[2] : nullptr;
    PyObject* root_path = a[3] && a[3] != Py_None ? a[3] : nullptr;

    py::Ref spec = field_value_spec(self);
    if (!spec) return nullptr;
    PyObject* apply_name = py::intern<"apply">();
    PyObject* names = py::names<"allow_partial", "child_transform", "root_path", "inplace">();
    if (!apply_name || !names) return nullptr;
    PyObject* call_args[] = {spec.get(), a[0], allow_partial ? Py_True : Py_False,
                             transform_fn ? transform_fn : Py_None,
                             root_path ? root_path : Py_None, inplace ? Py_True : Py_False};
    py::Ref current =
        py::Ref::steal(PyObject_VectorcallMethod(apply_name, call_args, 2, names));
    if (!current) return nullptr;

    if (transform_fn) {
        py::Ref path;
        if (root_path) {
            const int truth = PyObject_IsTrue(root_path);
            if (truth < 0) return nullptr;
            if (truth) path = py::Ref::borrow(root_path);
        }
        if (!path) {
            path = topology::make_key_path(std::span<const topology::Key>{});
            if (!path) return nullptr;
        }
        PyObject* targs[] = {path.get(), self, current.get()};
        current = py::Ref::steal(PyObject_Vectorcall(transform_fn, targs, 3, nullptr));
        if (!current) return nullptr;
    }

    // Read again: a transform that ran above may have stored a new validator.
    py::Ref validator;
    {
        py::SharedBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return nullptr;
        validator = py::state<FieldState>(self).validator;
    }
    if (validator && validator.get() != Py_None) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return nullptr;
        const int missing = PyObject_IsInstance(current.get(), bridge->missing_type.get());
        if (missing < 0) return nullptr;
        if (!missing) {
            py::Ref ignored = py::Ref::steal(PyObject_CallOneArg(validator.get(), current.get()));
            if (!ignored) {
                wrap_validator_error(root_path);
                return nullptr;
            }
        }
    }
    return current.release();
}

PyObject* field_extend(PyObject* self, PyObject* base) {
    if (!is_field(base)) {
        py::raise_arg_type("base_field", "Field", base);
        return nullptr;
    }
    // The base is only read; its members are taken in one shared borrow
    // before this field is held, so extending a field with itself works.
    py::Ref base_key, base_value, base_description, base_metadata, base_validator, base_alias;
    std::array<Tri, 5> base_flags{};
    bool base_init = true;
    {
        py::SharedBorrow b(py::borrow_flag<FieldState>(base));
        if (!b.acquire()) return nullptr;
        const FieldState& s = py::state<FieldState>(base);
        base_key = s.key;
        base_value = s.value;
        base_description = s.description;
        base_metadata = s.metadata;
        base_validator = s.validator;
        base_alias = s.alias;
        base_flags = {s.enable_repr, s.enable_compare, s.enable_hash, s.enable_clone,
                      s.enable_validation};
        base_init = s.enable_init;
    }
    py::Ref key, value, description, metadata;
    {
        py::SharedBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return nullptr;
        const FieldState& s = py::state<FieldState>(self);
        key = s.key;
        value = s.value;
        description = s.description;
        metadata = s.metadata;
    }
    PyObject* extend_name = py::intern<"extend">();
    if (!extend_name) return nullptr;
    py::Ref ignored = py::Ref::steal(PyObject_CallMethodOneArg(
        key ? key.get() : Py_None, extend_name, base_key ? base_key.get() : Py_None));
    if (!ignored) return nullptr;
    py::Ref new_value = py::Ref::steal(PyObject_CallMethodOneArg(
        value ? value.get() : Py_None, extend_name, base_value ? base_value.get() : Py_None));
    if (!new_value) return nullptr;
    {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return nullptr;
        std::swap(py::state<FieldState>(self).value, new_value);
    }
    new_value.reset();

    const int has_description = description ? PyObject_IsTrue(description.get()) : 0;
    if (has_description < 0) return nullptr;
    if (!has_description) {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return nullptr;
        std::swap(py::state<FieldState>(self).description, base_description);
    }
    py::Ref new_metadata;
    const int base_has_metadata = base_metadata ? PyObject_IsTrue(base_metadata.get()) : 0;
    if (base_has_metadata < 0) return nullptr;
    if (base_has_metadata) {
        PyObject* copy = py::imported<"copy", "copy">();
        if (!copy) return nullptr;
        new_metadata = py::Ref::steal(PyObject_CallOneArg(copy, base_metadata.get()));
        if (!new_metadata) return nullptr;
        PyObject* update = py::intern<"update">();
        if (!update) return nullptr;
        py::Ref r = py::Ref::steal(PyObject_CallMethodOneArg(
            new_metadata.get(), update, metadata ? metadata.get() : Py_None));
        if (!r) return nullptr;
    }
    {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return nullptr;
        FieldState& s = py::state<FieldState>(self);
        if (new_metadata) std::swap(s.metadata, new_metadata);
        // A flag the base states False is False here too, unless stated here.
        const std::array<Tri*, 5> flags = {&s.enable_repr, &s.enable_compare, &s.enable_hash,
                                           &s.enable_clone, &s.enable_validation};
        for (std::size_t i = 0; i < flags.size(); ++i)
            if (base_flags[i] == Tri::False && *flags[i] == Tri::Unset) *flags[i] = Tri::False;
        if (!base_init) s.enable_init = false;
        if (!s.validator || s.validator.get() == Py_None) std::swap(s.validator, base_validator);
        if (!s.alias || s.alias.get() == Py_None) std::swap(s.alias, base_alias);
    }
    invalidate_meta(self);
    return py::new_ref(self);
}

PyObject* field_own_value_spec(PyObject* self) {
    py::Ref spec = field_value_spec(self);
    if (!spec) return nullptr;
    PyObject* deepcopy = py::imported<"copy", "deepcopy">();
    if (!deepcopy) return nullptr;
    py::Ref clone = py::Ref::steal(PyObject_CallOneArg(deepcopy, spec.get()));
    if (!clone) return nullptr;
    {
        py::ExclusiveBorrow b(py::borrow_flag<FieldState>(self));
        if (!b.acquire()) return nullptr;
        std::swap(py::state<FieldState>(self).value, clone);
    }
    clone.reset();
    invalidate_meta(self);
    return py::none();
}

PyObject* field_materialize_strict(PyObject* self) {
    py::Ref done = py::Ref::steal(field_own_value_spec(self));
    if (!done) return nullptr;
    py::Ref spec = field_value_spec(self);
    if (!spec) return nullptr;
    PyObject* name = py::intern<"_materialize_strict">();
    if (!name) return nullptr;
    py::Ref ignored = py::Ref::steal(PyObject_CallMethodNoArgs(spec.get(), name));
    if (!ignored) return nullptr;
    return py::none();
}

namespace {
py::Params<6> kFromAnnotationSig{
    "from_annotation",
    {"key", "annotation", "description", "metadata", "auto_typing", "parent_module"},
    6,
    2};
}  // namespace

PyObject* field_from_annotation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<6> a;
    if (!py::parse(kFromAnnotationSig, args, nargs, kwnames, a)) return nullptr;
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
