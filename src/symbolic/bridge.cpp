#include "symbolic/bridge.hpp"

#include "flags.hpp"
#include "py/args.hpp"
#include "py/class_attr.hpp"
#include "py/errors.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"

#include <array>
#include <memory>

namespace vesk::symbolic {

namespace {

#define VESK_CONTAINER_BRIDGE_INDEX(name) kArg_##name,
enum ArgIndex : std::size_t { VESK_CONTAINER_BRIDGE_SLOTS(VESK_CONTAINER_BRIDGE_INDEX) kBridgeArgs };
#undef VESK_CONTAINER_BRIDGE_INDEX

#define VESK_CONTAINER_BRIDGE_NAME(name) #name,
py::Params<kBridgeArgs> kBridgeParams{
    "_install_container_bridge",
    {VESK_CONTAINER_BRIDGE_SLOTS(VESK_CONTAINER_BRIDGE_NAME)},
    0,
    kBridgeArgs,
};
#undef VESK_CONTAINER_BRIDGE_NAME

#define VESK_CONTAINER_BRIDGE_MEMBER(name) &ContainerBridge::name,
constexpr std::array<py::Ref ContainerBridge::*, kBridgeArgs> kArgSlots{
    VESK_CONTAINER_BRIDGE_SLOTS(VESK_CONTAINER_BRIDGE_MEMBER)};
#undef VESK_CONTAINER_BRIDGE_MEMBER

py::Params kListParams{"_install_list_bridge", {"insertion_cls"}, 1, 1};

// Stores `table` unless a table is already there; a concurrent first
// install may win, and then this one is dropped.
template <class T>
void install_once(py::OnceCell<const T>& cell, std::unique_ptr<T> table) {
    if (cell.set(table.get())) (void)table.release();
}

}  // namespace

const ContainerBridge* container_bridge() {
    const ContainerBridge* b = CONTAINER_BRIDGE.get();
    if (!b) py::raise_internal("container bridge not installed");
    return b;
}

const ListBridge* list_bridge() {
    const ListBridge* b = LIST_BRIDGE.get();
    if (!b) py::raise_internal("list bridge not installed");
    return b;
}

PyObject* install_container_bridge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    py::Args<kBridgeArgs> a;
    if (!py::parse(kBridgeParams, args, nargs, kwnames, a)) return nullptr;
    if (CONTAINER_BRIDGE.is_set()) return py::none();
    auto table = std::make_unique<ContainerBridge>();
    for (std::size_t i = 0; i < kBridgeArgs; ++i) (*table).*kArgSlots[i] = py::Ref::borrow(a[i]);
    install_once(CONTAINER_BRIDGE, std::move(table));
    return py::none();
}

PyObject* install_list_bridge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kListParams, args, nargs, kwnames, a)) return nullptr;
    if (LIST_BRIDGE.is_set()) return py::none();
    auto table = std::make_unique<ListBridge>();
    table->insertion_cls = py::Ref::borrow(a[0]);
    if (PyType_Check(a[0])) {
        auto* cls = reinterpret_cast<PyTypeObject*>(a[0]);
        for (PyTypeObject* primitive : {&PyLong_Type, &PyFloat_Type, &PyUnicode_Type, &PyBool_Type,
                                        &PyBytes_Type, Py_TYPE(Py_None)})
            table->marks_primitives = table->marks_primitives || PyType_IsSubtype(primitive, cls);
    }
    install_once(LIST_BRIDGE, std::move(table));
    return py::none();
}

PyMethodDef container_bridge_functions[] = {
    py::function<install_container_bridge>(
        kBridgeParams, "Installs the container bridge once; later calls change nothing."),
    py::kMethodsEnd,
};

PyMethodDef list_bridge_functions[] = {
    py::function<install_list_bridge>(
        kListParams, "Installs the list bridge once; later calls change nothing."),
    py::kMethodsEnd,
};

py::Ref default_origin(bool& ok) {
    ok = true;
    if (!flags::origin_tracking_on()) return {};
    const ContainerBridge* b = container_bridge();
    PyObject* tag = nullptr;
    py::Ref origin;
    if (b && py::intern<"__init__">(tag)) {
        PyObject* call[] = {Py_None, tag};
        origin = py::Ref::steal(PyObject_Vectorcall(b->origin_cls.get(), call, 2, nullptr));
    }
    ok = static_cast<bool>(origin);
    return origin;
}

bool make_child_transform(PyObject* hook, bool allow_partial, py::Ref& out) {
    out = py::Ref::steal(PyObject_CallOneArg(hook, allow_partial ? Py_True : Py_False));
    if (!out) return false;
    if (out.get() == Py_None) out = py::Ref();
    return true;
}

int notify_field_update(PyObject* owner, PyObject* update, getattrofunc generic_first) {
    if (flags::notifications_suppressed()) {
        // Suppressed, except for a target that validates on every change.
        py::Ref target = py::get_attr<"target">(update);
        if (!target) return -1;
        py::Ref overridden = py::get_attr<"_sym_validate_overridden">(target.get());
        if (!overridden) {
            PyErr_Clear();
            return 0;
        }
        const int truth = PyObject_IsTrue(overridden.get());
        if (truth <= 0) return truth;
    }
    py::Ref updates = py::Ref::steal(PyList_New(1));
    if (!updates) return -1;
    PyList_SET_ITEM(updates.get(), 0, py::Ref::borrow(update).release());
    PyObject* name;
    if (!py::intern<"_notify_field_updates">(name)) return -1;
    return py::call_method_one(owner, name, updates.get(), generic_first) ? 0 : -1;
}

}  // namespace vesk::symbolic
