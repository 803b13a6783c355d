#include "typing/bridge.hpp"

#include "py/args.hpp"
#include "py/errors.hpp"

#include <array>
#include <memory>

namespace vesk::typing {

namespace {

constexpr const char kBridgeMissing[] = "typing bridge not installed";

#define VESK_BRIDGE_SKIP(name)

// The installer's arguments by position, and their count.
#define VESK_BRIDGE_INDEX(name) kArg_##name,
enum ArgIndex : std::size_t {
    VESK_TYPING_BRIDGE_SLOTS(VESK_BRIDGE_INDEX, VESK_BRIDGE_SKIP) kBridgeArgs
};
#undef VESK_BRIDGE_INDEX

// The keyword arguments of `_install_typing_bridge`, in slot order.
#define VESK_BRIDGE_NAME(name) #name,
py::Params<kBridgeArgs> kBridgeParams{
    "_install_typing_bridge",
    {VESK_TYPING_BRIDGE_SLOTS(VESK_BRIDGE_NAME, VESK_BRIDGE_SKIP)},
    0,
    kBridgeArgs,
};
#undef VESK_BRIDGE_NAME

// The slot each argument fills, in argument order.
#define VESK_BRIDGE_MEMBER(name) &TypingBridge::name,
constexpr std::array<py::Ref TypingBridge::*, kBridgeArgs> kArgSlots{
    VESK_TYPING_BRIDGE_SLOTS(VESK_BRIDGE_MEMBER, VESK_BRIDGE_SKIP)};
#undef VESK_BRIDGE_MEMBER

#undef VESK_BRIDGE_SKIP

py::Params kJsonSchemaParams{"_install_json_schema_fn", {"func"}, 1, 1};
py::Params kFieldFromAnnotationParams{"_install_field_from_annotation", {"func"}, 1, 1};
py::Params kContainerTypesParams{
    "_install_symbolic_container_types", {"dict_type", "list_type"}, 2, 2};

// A bridge handle's answer that must be exactly True or False.
int bool_answer(const char* handle, PyObject* result) {
    py::Ref answer = py::Ref::steal(result);
    if (!answer) return -1;
    bool out = false;
    if (!py::arg_bool(handle, answer.get(), out)) return -1;
    return out ? 1 : 0;
}

PyObject* call2(PyObject* fn, PyObject* a, PyObject* b) {
    PyObject* args[2] = {a, b};
    return PyObject_Vectorcall(fn, args, 2, nullptr);
}

}  // namespace

// --- accessors --------------------------------------------------------------

const TypingBridge* typing_bridge() {
    const TypingBridge* b = bridge::BRIDGE.get();
    if (!b) py::raise_internal(kBridgeMissing);
    return b;
}

PyObject* json_schema_fn() {
    PyObject* fn = bridge::JSON_SCHEMA_FN.get();
    if (!fn) py::raise_internal("json-schema fn not installed");
    return fn;
}

PyObject* field_from_annotation_fn() {
    PyObject* fn = bridge::FIELD_FROM_ANNOTATION.get();
    if (!fn) py::raise_internal("field_from_annotation not installed");
    return fn;
}

// --- wrappers -----------------------------------------------------------------

int is_missing(PyObject* value) {
    const TypingBridge* b = typing_bridge();
    if (!b) return -1;
    PyObject* type = b->missing_type.get();
    if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(type)) return 1;
    return PyObject_IsInstance(value, type);
}

py::Ref fresh_missing() {
    const TypingBridge* b = typing_bridge();
    if (!b) return {};
    return py::Ref::steal(PyObject_CallNoArgs(b->missing_type.get()));
}

py::Ref missing_default() {
    // Nested attaches are allowed, so this serves attached callers too.
    const PyGILState_STATE state = PyGILState_Ensure();
    py::Ref out;
    if (const TypingBridge* b = typing_bridge()) out = b->missing_value;
    PyGILState_Release(state);
    return out;
}

int callable_eq(PyObject* a, PyObject* b) {
    const TypingBridge* br = typing_bridge();
    if (!br) return -1;
    return bool_answer("callable_eq", call2(br->callable_eq.get(), a, b));
}

py::Ref call_to_json(PyObject* value, PyObject* kwargs) {
    const TypingBridge* b = typing_bridge();
    if (!b) return {};
    py::Ref args = py::Ref::steal(PyTuple_Pack(1, value));
    if (!args) return {};
    return py::Ref::steal(PyObject_Call(b->to_json.get(), args.get(), kwargs));
}

int call_is_generic(PyObject* annotation) {
    const TypingBridge* b = typing_bridge();
    if (!b) return -1;
    return bool_answer("is_generic", PyObject_CallOneArg(b->is_generic.get(), annotation));
}

int call_is_instance(PyObject* value, PyObject* cls) {
    const TypingBridge* b = typing_bridge();
    if (!b) return -1;
    return bool_answer("is_instance", call2(b->is_instance.get(), value, cls));
}

int call_is_subclass(PyObject* cls, PyObject* base) {
    const TypingBridge* b = typing_bridge();
    if (!b) return -1;
    return bool_answer("is_subclass", call2(b->is_subclass.get(), cls, base));
}

// --- installers -------------------------------------------------------------------

PyObject* install_typing_bridge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
    py::Args<kBridgeArgs> a;
    if (!py::parse(kBridgeParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* missing_type = a[kArg_missing_type];
    if (!PyType_Check(missing_type)) {
        py::raise_arg_type("missing_type", "a class", missing_type);
        return nullptr;
    }
    if (bridge::BRIDGE.is_set()) return py::none();

    auto table = std::make_unique<TypingBridge>();
    for (std::size_t i = 0; i < kBridgeArgs; ++i) (*table).*kArgSlots[i] = py::Ref::borrow(a[i]);
    table->empty_forward_refs = py::Ref::steal(PyFrozenSet_New(nullptr));
    if (!table->empty_forward_refs) return nullptr;
    // A concurrent first install may win; then this table is dropped.
    if (bridge::BRIDGE.set(table.get())) (void)table.release();
    return py::none();
}

namespace {

PyObject* install_object(py::ObjectCell& cell, py::Params<1>& params, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(params, args, nargs, kwnames, a)) return nullptr;
    (void)cell.set(py::Ref::borrow(a[0]));  // ignored when already set
    return py::none();
}

}  // namespace

PyObject* install_json_schema_fn(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
    return install_object(bridge::JSON_SCHEMA_FN, kJsonSchemaParams, args, nargs, kwnames);
}

PyObject* install_field_from_annotation(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                        PyObject* kwnames) {
    return install_object(bridge::FIELD_FROM_ANNOTATION, kFieldFromAnnotationParams, args,
                          nargs, kwnames);
}

PyObject* install_symbolic_container_types(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                           PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kContainerTypesParams, args, nargs, kwnames, a)) return nullptr;
    if (bridge::SYMBOLIC_CONTAINER_TYPES.is_set()) return py::none();
    auto pair = std::make_unique<SymbolicContainerTypes>(
        SymbolicContainerTypes{py::Ref::borrow(a[0]), py::Ref::borrow(a[1])});
    if (bridge::SYMBOLIC_CONTAINER_TYPES.set(pair.get())) (void)pair.release();
    return py::none();
}

}  // namespace vesk::typing
