// Building engines, their default rules and their copies.
#include "typing/value_spec/engine/build.hpp"

#include "py/named.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/apply.hpp"

namespace vesk::typing {

namespace {

// Whether a default of this value is handed out as a deep copy on each use;
// -1 on error.
[[nodiscard]] int copied_on_use(PyObject* value) {
    if (PyDict_Check(value) || PyList_Check(value) || PySet_Check(value) ||
        PyTuple_Check(value) || PyByteArray_Check(value))
        return 1;
    if (int r = is_maybe_partial(value); r != 0) return r;
    if (int r = is_copy_if_default(value); r != 0) return r;
    if (PyType_Check(value)) return 0;
    // Dataclass instances: the marker is an attribute of the class.
    PyObject* name;
    if (!py::intern<"__dataclass_fields__">(name)) return -1;
    py::Ref fields;
    PyObject* out = nullptr;
    const int found = PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(Py_TYPE(value)), name,
                                               &out);
    fields = py::Ref::steal(out);
    return found;
}

// A temporary spec object of the kind's own class around a reference clone
// of `engine`, through which a custom-typed default sees the spec.
[[nodiscard]] py::Ref temporary_spec(const SpecEngine& engine) {
    PyTypeObject* cls = ops(engine).py_class(engine.kind);
    if (!cls) return {};
    return wrap_engine(cls, clone_ref(engine));
}

}  // namespace

std::optional<SpecEngine> build_base(py::Ref value_type, SpecKind kind, SpecCommon common) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return std::nullopt;
    SpecEngine engine;
    engine.kind = std::move(kind);
    engine.default_value = bridge->missing_value;
    engine.value_type = std::move(value_type);
    engine.transform = std::move(common.transform);
    engine.is_noneable = common.is_noneable;
    engine.strict = common.strict;

    py::Ref given = common.default_value ? std::move(common.default_value) : bridge->missing_value;
    if (common.default_factory) {
        const int missing = is_missing(given.get());
        if (missing < 0) return std::nullopt;
        if (!missing) {
            PyErr_SetString(PyExc_ValueError,
                            "Cannot specify both `default` and `default_factory`.");
            return std::nullopt;
        }
        Detached none;  // a new engine holds nothing yet
        if (!check_default_factory(common.default_factory.get()) ||
            store_default_factory(engine, std::move(common.default_factory), none) < 0)
            return std::nullopt;
    } else {
        const int custom = is_custom_typing(given.get());
        if (custom < 0) return std::nullopt;
        py::Ref temporary;
        if (custom) {
            temporary = temporary_spec(engine);
            if (!temporary) return std::nullopt;
        }
        ResolvedDefault resolved =
            resolve_default(engine, std::move(given), true, nullptr, temporary.get());
        if (!resolved.value) return std::nullopt;
        Detached none;
        store_default(engine, std::move(resolved), none);
    }
    // Last: the default above was resolved and applied by a spec not yet frozen.
    engine.frozen = common.frozen;
    return engine;
}

ResolvedDefault resolve_default(const SpecEngine& engine, py::Ref value, bool apply_it,
                                PyObject* root_path, PyObject* spec_obj) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    const int missing = is_missing(value.get());
    if (missing < 0) return {};
    if (missing) {
        py::Ref derived;
        const int made = ops(engine).derived_default(engine, derived);
        if (made < 0) return {};
        if (made) return {std::move(derived), DefaultOrigin::Derived, false};
        return {bridge->missing_value, DefaultOrigin::Given, true};
    }
    if (!apply_it) return {std::move(value), DefaultOrigin::Given, false};
    ApplyOptions options;
    options.root_path = root_path;
    options.allow_partial = true;
    options.run_user_transform = true;
    options.inplace = true;
    py::Ref applied = apply(engine, spec_obj, std::move(value), options);
    if (!applied) return {};
    // `custom_apply` or a transform may answer a missing value.
    const int applied_missing = is_missing(applied.get());
    if (applied_missing < 0) return {};
    return {std::move(applied), DefaultOrigin::Given, applied_missing == 1};
}

void store_default(SpecEngine& engine, ResolvedDefault resolved, Detached& detached) {
    ops(engine).keep_default_origin(engine.kind, resolved.origin);
    engine.default_value.swap(resolved.value);
    detached.add(std::move(resolved.value));
    if (!resolved.missing) detached.add(std::move(engine.default_factory));
}

bool check_default_factory(PyObject* factory) {
    if (!factory || PyCallable_Check(factory)) return true;
    PyErr_Format(PyExc_TypeError,
                 "`default_factory` must be a zero-arg callable. Encountered: %R.", factory);
    return false;
}

int store_default_factory(SpecEngine& engine, py::Ref factory, Detached& detached) {
    if (factory) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return -1;
        py::Ref missing = bridge->missing_value;
        engine.default_value.swap(missing);
        detached.add(std::move(missing));
    }
    engine.default_factory.swap(factory);
    detached.add(std::move(factory));
    return 0;
}

int common_kind::derived_default(const SpecEngine&, py::Ref&) { return 0; }

void common_kind::keep_default_origin(SpecKind&, DefaultOrigin) {}

bool common_kind::shows_default(const SpecEngine&) { return true; }

int common_kind::deep_clone_payload(SpecEngine&, PyObject*) { return 0; }

py::Ref deep_copy(PyObject* value, PyObject* memo) {
    if (memo && memo != Py_None) return py::call_imported<"copy", "deepcopy">(value, memo);
    return py::call_imported<"copy", "deepcopy">(value);
}

py::Ref copy_default_value(PyObject* value, PyObject* memo) {
    if (memo == Py_None) memo = nullptr;
    if (is_scalar_value(value)) return py::Ref::borrow(value);
    const int copied = copied_on_use(value);
    if (copied < 0) return {};
    if (copied) return deep_copy(value, memo);
    if (!memo) return py::Ref::borrow(value);
    // Shared as it is; the memo records it as its own copy so that a later
    // deep copy of the same object in this walk agrees.
    if (!PyDict_Check(memo)) {
        PyErr_Format(PyExc_TypeError, "deep-copy memo must be a dict, not %.200s",
                     Py_TYPE(memo)->tp_name);
        return {};
    }
    py::Ref id = py::Ref::steal(PyLong_FromVoidPtr(value));
    if (!id) return {};
    PyObject* found = nullptr;
    const int hit = PyDict_GetItemRef(memo, id.get(), &found);
    if (hit < 0) return {};
    if (hit) return py::Ref::steal(found);
    if (PyDict_SetItem(memo, id.get(), value) < 0) return {};
    return py::Ref::borrow(value);
}

py::Ref materialize(const SpecEngine& engine, PyObject* spec_obj, bool allow_partial) {
    if (!engine.default_factory) return copy_default_value(engine.default_value.get(), nullptr);
    if (allow_partial) return fresh_missing();
    py::Ref made = py::Ref::steal(PyObject_CallNoArgs(engine.default_factory.get()));
    if (!made) return {};
    ApplyOptions options;
    options.run_user_transform = true;
    options.inplace = true;
    return apply(engine, spec_obj, std::move(made), options);
}

SpecEngine clone_ref(const SpecEngine& engine) {
    SpecEngine copy;
    copy.kind = clone_kind(engine.kind);
    copy.default_value = engine.default_value;
    copy.value_type = engine.value_type;
    copy.default_factory = engine.default_factory;
    copy.transform = engine.transform;
    copy.is_noneable = engine.is_noneable;
    copy.frozen = engine.frozen;
    copy.strict = engine.strict;
    return copy;
}

std::optional<SpecEngine> deep_clone(const SpecEngine& engine, PyObject* memo) {
    SpecEngine copy = clone_ref(engine);
    py::Ref default_value = copy_default_value(engine.default_value.get(), memo);
    if (!default_value) return std::nullopt;
    copy.default_value = std::move(default_value);
    if (ops(engine).deep_clone_payload(copy, memo) < 0) return std::nullopt;
    return copy;
}

}  // namespace vesk::typing
