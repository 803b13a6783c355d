#include "symbolic/object_bridge.hpp"

#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/hold.hpp"
#include "py/methods.hpp"
#include "py/named.hpp"
#include "symbolic/errors.hpp"

#include <array>
#include <memory>

namespace vesk::symbolic::object {

namespace {

#define VESK_OBJECT_BRIDGE_INDEX(name) kArg_##name,
enum ArgIndex : std::size_t { VESK_OBJECT_BRIDGE_SLOTS(VESK_OBJECT_BRIDGE_INDEX) kBridgeArgs };
#undef VESK_OBJECT_BRIDGE_INDEX

#define VESK_OBJECT_BRIDGE_NAME(name) #name,
py::Params<kBridgeArgs> kBridgeParams{
    "_install_object_bridge",
    {VESK_OBJECT_BRIDGE_SLOTS(VESK_OBJECT_BRIDGE_NAME)},
    0,
    kBridgeArgs,
};
#undef VESK_OBJECT_BRIDGE_NAME

#define VESK_OBJECT_BRIDGE_MEMBER(name) &ObjectBridge::name,
constexpr std::array<py::Ref ObjectBridge::*, kBridgeArgs> kArgSlots{
    VESK_OBJECT_BRIDGE_SLOTS(VESK_OBJECT_BRIDGE_MEMBER)};
#undef VESK_OBJECT_BRIDGE_MEMBER

}  // namespace

const ObjectBridge* object_bridge() {
    const ObjectBridge* b = OBJECT_BRIDGE.get();
    if (!b) py::raise_internal("object bridge not installed");
    return b;
}

PyObject* install_object_bridge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<kBridgeArgs> a;
    if (!py::parse(kBridgeParams, args, nargs, kwnames, a)) return nullptr;
    if (OBJECT_BRIDGE.is_set()) return py::none();
    auto table = std::make_unique<ObjectBridge>();
    for (std::size_t i = 0; i < kBridgeArgs; ++i) (*table).*kArgSlots[i] = py::Ref::borrow(a[i]);
    // A concurrent first install may win; then this table is dropped.
    if (OBJECT_BRIDGE.set(table.get())) (void)table.release();
    return py::none();
}

PyMethodDef bridge_functions[] = {
    py::function<install_object_bridge>(
        kBridgeParams, "Installs the object bridge once; later calls change nothing."),
    py::kMethodsEnd,
};

int require_topo(PyObject* node, bool enable_topo, const char* label) {
    if (enable_topo) return 0;
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    py::Ref type_name = py::get_attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(node)));
    if (!type_name) return -1;
    py::Ref message = py::Ref::steal(PyUnicode_FromFormat(
        "`%s` requires a symbolic tree, but %S was declared with `topo=False`. Declare the "
        "class with `topo=True` to use it.",
        label, type_name.get()));
    if (!message) return -1;
    py::Ref made = py::Ref::steal(PyObject_CallOneArg(b->symbolic_mode_error.get(), message.get()));
    if (made) raise_made(made.get());
    return -1;
}

int defer_positional_to_python_init(PyObject* obj, PyObject* args, PyObject* kwargs,
                                    const char* label) {
    if (!args || PyTuple_GET_SIZE(args) == 0) return 0;
    if (kwargs && !PyDict_Check(kwargs)) {
        py::raise_not_instance(kwargs, "dict");
        return -1;
    }
    py::Ref init = py::get_attr<"__init__">(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
    if (!init) return -1;
    const Py_ssize_t n = PyTuple_GET_SIZE(args);
    py::Ref call_args = py::Ref::steal(PyTuple_New(n + 1));
    if (!call_args) return -1;
    PyTuple_SET_ITEM(call_args.get(), 0, py::Ref::borrow(obj).release());
    for (Py_ssize_t i = 0; i < n; ++i)
        PyTuple_SET_ITEM(call_args.get(), i + 1, py::Ref::borrow(PyTuple_GET_ITEM(args, i)).release());
    py::Ref result = py::Ref::steal(PyObject_Call(init.get(), call_args.get(), kwargs));
    if (!result) return -1;
    // The dash goes in as an argument: a format string must be ASCII, or
    // the formatting itself fails with a ValueError in place of this error.
    PyErr_Format(PyExc_RuntimeError,
                 "%s: positional `__init__` returned without raising %s the "
                 "keyword-only construct invariant was violated",
                 label, "\xe2\x80\x94");
    return -1;
}

int pop_kw(PyObject* kwargs, PyObject* key, py::Ref& out) {
    PyObject* value = nullptr;
    const int r = PyDict_Pop(kwargs, key, &value);
    out = py::Ref::steal(value);
    return r;
}

py::Ref delegate_set_item_via_sym_attributes(PyObject* obj, PyObject* key, PyObject* value) {
    py::Ref attributes = py::get_attr<"_sym_attributes">(obj);
    if (!attributes) return {};
    return py::call_method<"_set_item_without_permission_check">(attributes.get(), key, value);
}

}  // namespace vesk::symbolic::object
