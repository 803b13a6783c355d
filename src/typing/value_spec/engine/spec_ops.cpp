#include "typing/value_spec/engine/spec_ops.hpp"

#include "py/lazy.hpp"
#include "topology/key_path.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing {

py::Ref child_path(std::int64_t index, PyObject* parent) {
    py::Ref key = py::Ref::steal(PyLong_FromLongLong(index));
    if (!key) return {};
    PyTypeObject* cls = topology::key_path_type();
    if (!cls) return {};
    PyObject* callable = reinterpret_cast<PyObject*>(cls);
    if (parent) return py::Ref::steal(PyObject_CallFunctionObjArgs(callable, key.get(), parent, nullptr));
    return py::Ref::steal(PyObject_CallOneArg(callable, key.get()));
}

py::Ref ensure_keypath(PyObject* root_path) {
    if (root_path) return py::Ref::borrow(root_path);
    return topology::make_key_path(std::span<const topology::Key>{});
}

py::Ref py_set() {
    PyObject* set_cls = py::imported<"builtins", "set">();
    if (!set_cls) return {};
    return py::Ref::steal(PyObject_CallNoArgs(set_cls));
}

int opt_eq_obj(PyObject* a, PyObject* b) {
    if (!a) return b == Py_None;
    if (b == Py_None) return 0;
    return PyObject_RichCompareBool(a, b, Py_EQ);
}

int regex_eq(PyObject* a, PyObject* b) {
    if (!a || !b) return !a && !b;
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(a, b, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

py::Ref opt_str(PyObject* obj) {
    if (!obj) return py::Ref::steal(PyUnicode_FromString("None"));
    return py::Ref::steal(PyObject_Str(obj));
}

int spec_is_compatible(PyObject* a, PyObject* b) {
    PyObject* name = py::intern<"is_compatible">();
    if (!name) return -1;
    py::Ref result = py::Ref::steal(PyObject_CallMethodOneArg(a, name, b));
    if (!result) return -1;
    if (!PyBool_Check(result.get())) {
        PyErr_Format(PyExc_TypeError, "is_compatible() must return a bool, not %.200s",
                     Py_TYPE(result.get())->tp_name);
        return -1;
    }
    return result.get() == Py_True;
}

py::Ref any_if_no_annotation(PyObject* annotation) {
    const int missing = is_missing(annotation);
    if (missing < 0) return {};
    if (!missing) return py::Ref::borrow(annotation);
    return py::Ref::borrow(py::imported<"typing", "Any">());
}

namespace {

// Runs `question` on the engine of a native spec under a shared hold.
template <class Question>
NativeAnswer ask_native(PyObject* spec, Question&& question) {
    if (!is_spec(spec)) return NativeAnswer::NotNative;
    py::SharedBorrow hold(spec_borrow(spec));
    if (!hold.acquire()) return NativeAnswer::Error;
    return question(spec_engine(spec)) ? NativeAnswer::Yes : NativeAnswer::No;
}

[[nodiscard]] bool untouched(const SpecEngine& e) noexcept { return !e.frozen && !e.transform; }

}  // namespace

NativeAnswer native_is_strict(PyObject* spec) {
    return ask_native(spec, [](const SpecEngine& e) { return e.is_strict(); });
}

NativeAnswer native_is_plain_any(PyObject* spec) {
    return ask_native(spec,
                      [](const SpecEngine& e) { return e.id() == KindId::Any && untouched(e); });
}

NativeAnswer native_is_plain_noneable(PyObject* spec) {
    return ask_native(spec, [](const SpecEngine& e) { return e.is_noneable && untouched(e); });
}

NativeAnswer native_is_tuple(PyObject* spec) {
    return ask_native(spec, [](const SpecEngine& e) { return e.id() == KindId::Tuple; });
}

NativeAnswer native_plain_object_class(PyObject* spec, py::Ref& cls) {
    return ask_native(spec, [&](const SpecEngine& e) {
        if (e.id() != KindId::Object || !untouched(e) || !e.value_type) return false;
        cls = e.value_type;
        return true;
    });
}

}  // namespace vesk::typing
