// The module's entry point and its execution step: the only code that runs
// at import. Everything the module offers is bound here, in one fixed order
// that `__all__` records.
#include "formatting/register.hpp"
#include "hooks.hpp"
#include "kernel/register.hpp"
#include "py/module.hpp"
#include "register.hpp"
#include "symbolic/object/partial.hpp"
#include "symbolic/register.hpp"
#include "symbolic/wrap/wrap_node.hpp"
#include "topology/register.hpp"
#include "typing/field/register.hpp"
#include "typing/key_specs/register.hpp"
#include "typing/register.hpp"
#include "typing/schema/register.hpp"
#include "typing/value_spec/register.hpp"

namespace vesk {

namespace {

using RegisterStep = int (*)(PyObject* module);

// The registration list. Each subsystem binds its names in its own step;
// the order of the steps is the order of `__all__`.
constexpr RegisterStep kRegistration[] = {
    abi::register_module,         // abi_version, __abi__
    topology::register_module,    // KeyPath, KeyPathSet, MissingValue, missing_value_singleton
    formatting::register_module,  // format, kvlist_str, _install_formatting_bridge
    typing::key_specs::register_module,  // ConstStrKey, StrKey, ListKey, TupleKey
    typing::register_module,      // _install_typing_bridge, _install_json_schema_fn, ...
    typing::value_spec::register_classes_before_field,  // SpecBase, Bool, ..., Union, Object, Type
    typing::field::register_module,                     // Field
    typing::schema::register_module,                    // Schema
    typing::value_spec::register_classes_after_schema,  // Dict, Callable, Functor
    symbolic::register_module,    // symbolic containers, then objects (_install_object_bridge, ...)
    flags::register_module,       // _flag_scope_*, _FLAG_* constants
    kernel::register_module,      // record types, record node state, kernel probes
};

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_Format(PyExc_TypeError, "expected a module object, got %s",
                     Py_TYPE(module)->tp_name);
        return -1;
    }
    // Types, hook cells, cached functions and bridges are process-wide and
    // would hold this interpreter's objects after it is gone. The module's
    // slot keeps isolated sub-interpreters out; one with the legacy
    // configuration skips that check and is refused here, before anything
    // process-wide is written.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        "vesk_core._native can only be loaded in the main interpreter");
        return -1;
    }
    // Set before anything that can fail, so they are set even when a later
    // step fails; a cell already set keeps its first value.
    hooks::SYM_PARTIAL_HOOK.set(&symbolic::object::sym_partial_native);
    hooks::WRAP_NODE_HOOK.set(&symbolic::build_wrap_node);
    for (RegisterStep step : kRegistration)
        if (step(module) < 0) return -1;
    return 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_native",  // m_name
    "",         // m_doc
    0,          // m_size
    nullptr,    // m_methods
    py::module_slots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&vesk::module_def); }
