// A test-only extension, `vesk_core._typing_seams`: the typing bridge's
// native operations (wrappers, class markers, partial test, fast type tests,
// deep-copy memo, value-spec utilities) bound one by one, so the suite can
// reach the C++ functions that the module itself only calls from inside.
//
// It is built from the same sources as the module but has its own once-set
// cells: tests install the stand-in bridge into it with its own installers.
// Its partial hook is a test hook that answers by the value's class name
// ("PartialYes", "PartialNo", "PartialError"; anything else is declined).
// Never part of the wheel.
//
// It also reaches into the loaded `_native` module itself (given the path of
// its file) through the C entry points that development builds of the module
// export (tests/native/native_exports.cpp): the switch that turns the native
// shortcuts off, and `validate_fields_native`; and the tables of functions
// other exports hand out (`native_table`).
#include "hooks.hpp"
#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/markers.hpp"
#include "typing/memo.hpp"
#include "typing/value_spec/utilities/candidate_map.hpp"
#include "typing/value_spec/utilities/open_value_spec.hpp"
#include "typing/value_spec/utilities/texts.hpp"
#include "typing/value_spec/utilities/type_args.hpp"
#include "seam_args.hpp"

#include <dlfcn.h>

#include <string_view>

namespace vesk::typing_seams {

namespace {

using typing::TypingBridge;

// --- result shapes --------------------------------------------------------

PyObject* from_int(int r) { return r < 0 ? nullptr : py::boolean(r != 0); }

PyObject* from_ref(py::Ref r) { return r.release(); }

// (found, value) for an operation that may answer "nothing".
PyObject* from_optional(int r, const py::Ref& out) {
    if (r < 0) return nullptr;
    return Py_BuildValue("(OO)", r ? Py_True : Py_False, out ? out.get() : Py_None);
}


// --- the test partial hook ------------------------------------------------

hooks::Partial test_partial_hook(PyObject* value) {
    const std::string_view name = Py_TYPE(value)->tp_name;
    if (name.ends_with("PartialYes")) return hooks::Partial::Yes;
    if (name.ends_with("PartialNo")) return hooks::Partial::No;
    if (name.ends_with("PartialError")) {
        PyErr_SetString(PyExc_LookupError, "partial hook failed");
        return hooks::Partial::Error;
    }
    return hooks::Partial::Declined;
}

// --- accessors --------------------------------------------------------------

// The 29 slots of the installed bridge, in slot order.
PyObject* bridge_slots(PyObject*) {
    const TypingBridge* b = typing::typing_bridge();
    if (!b) return nullptr;
#define SEAM_SLOT(name) &b->name,
    const py::Ref* slots[] = {VESK_TYPING_BRIDGE_SLOTS(SEAM_SLOT, SEAM_SLOT)};
#undef SEAM_SLOT
    py::Ref out = py::Ref::steal(PyTuple_New(std::size(slots)));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < std::size(slots); ++i)
        PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), py::new_ref(slots[i]->get()));
    return out.release();
}

PyObject* json_schema_fn(PyObject*) { return py::new_ref(typing::json_schema_fn()); }
PyObject* field_from_annotation_fn(PyObject*) {
    return py::new_ref(typing::field_from_annotation_fn());
}
PyObject* symbolic_container_types(PyObject*) {
    const typing::SymbolicContainerTypes* t = typing::symbolic_container_types();
    if (!t) return py::none();
    return PyTuple_Pack(2, t->dict_type.get(), t->list_type.get());
}

// --- wrappers -----------------------------------------------------------------

PyObject* is_missing(PyObject*, PyObject* v) { return from_int(typing::is_missing(v)); }
PyObject* fresh_missing(PyObject*) { return from_ref(typing::fresh_missing()); }
PyObject* missing_default(PyObject*) { return from_ref(typing::missing_default()); }

// missing_default() called by a thread that has let go of the interpreter.
PyObject* missing_default_detached(PyObject*) {
    py::Ref out;
    Py_BEGIN_ALLOW_THREADS
    out = typing::missing_default();
    Py_END_ALLOW_THREADS
    return out.release();
}

PyObject* callable_eq(SEAM_ARGS) {
    SEAM_ARITY("callable_eq", 2);
    return from_int(typing::callable_eq(args[0], args[1]));
}
PyObject* call_to_json(SEAM_ARGS) {
    SEAM_ARITY("call_to_json", 2);
    return from_ref(typing::call_to_json(args[0], args[1] == Py_None ? nullptr : args[1]));
}
PyObject* call_is_generic(PyObject*, PyObject* v) { return from_int(typing::call_is_generic(v)); }
PyObject* call_is_instance(SEAM_ARGS) {
    SEAM_ARITY("call_is_instance", 2);
    return from_int(typing::call_is_instance(args[0], args[1]));
}
PyObject* call_is_subclass(SEAM_ARGS) {
    SEAM_ARITY("call_is_subclass", 2);
    return from_int(typing::call_is_subclass(args[0], args[1]));
}

// --- markers and fast types ------------------------------------------------------

PyObject* is_custom_typing(PyObject*, PyObject* v) { return from_int(typing::is_custom_typing(v)); }
PyObject* is_maybe_partial(PyObject*, PyObject* v) { return from_int(typing::is_maybe_partial(v)); }
PyObject* is_copy_if_default(PyObject*, PyObject* v) {
    return from_int(typing::is_copy_if_default(v));
}
PyObject* read_sym_partial(PyObject*, PyObject* v) { return from_int(typing::read_sym_partial(v)); }
PyObject* spec_storage(SEAM_ARGS) {
    SEAM_ARITY("spec_storage", 2);
    return py::boolean(typing::spec_storage(args[0], args[1] == Py_True));
}
PyObject* any_fast_scalar_types(PyObject*) {
    const auto& types = typing::any_fast_scalar_types();
    py::Ref out = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(types.size())));
    if (!out) return nullptr;
    for (std::size_t i = 0; i < types.size(); ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i),
                        py::new_ref(reinterpret_cast<PyObject*>(types[i])));
    return out.release();
}
PyObject* is_any_fast_type(SEAM_ARGS) {
    SEAM_ARITY("is_any_fast_type", 2);
    return py::boolean(typing::is_any_fast_type(args[0], args[1] == Py_True));
}
PyObject* is_primitive_value_type(PyObject*, PyObject* v) {
    return py::boolean(typing::is_primitive_value_type(v));
}
PyObject* is_plain_value_type(PyObject*, PyObject* v) {
    return py::boolean(typing::is_plain_value_type(v));
}
PyObject* is_scalar_value(PyObject*, PyObject* v) {
    return py::boolean(typing::is_scalar_value(v));
}

// --- memo ------------------------------------------------------------------------

PyObject* deepcopy_memo_hit(SEAM_ARGS) {
    SEAM_ARITY("deepcopy_memo_hit", 2);
    py::Ref copy;
    const int r = typing::deepcopy_memo_hit(args[0], args[1], copy);
    return from_optional(r, copy);
}
PyObject* deepcopy_memo_register(SEAM_ARGS) {
    SEAM_ARITY("deepcopy_memo_register", 3);
    if (typing::deepcopy_memo_register(args[0], args[1], args[2]) < 0) return nullptr;
    return py::none();
}

// --- utilities -------------------------------------------------------------------

PyObject* as_type_args(PyObject*, PyObject* v) { return from_ref(typing::as_type_args(v)); }
PyObject* from_annotation(PyObject*, PyObject* v) { return from_ref(typing::from_annotation(v)); }
PyObject* union_getitem(SEAM_ARGS) {
    SEAM_ARITY("union_getitem", 2);
    return from_ref(typing::union_getitem(args[0], args[1]));
}
PyObject* generic_getitem_result(PyObject*, PyObject* v) {
    return from_ref(typing::generic_getitem_result(py::Ref::borrow(v)));
}
PyObject* root_path_str(PyObject*, PyObject* v) { return from_ref(typing::path_text_of(v)); }
PyObject* root_path_display(PyObject*, PyObject* v) {
    return from_ref(typing::path_text_of(v, typing::NoPath::None));
}
PyObject* message_on_path(SEAM_ARGS) {
    SEAM_ARITY("message_on_path", 2);
    return from_ref(typing::message_on_path(args[0], args[1]));
}
PyObject* py_repr(PyObject*, PyObject* v) { return from_ref(typing::py_repr(v)); }
PyObject* wrap_transform_error(SEAM_ARGS) {
    SEAM_ARITY("wrap_transform_error", 2);
    return from_ref(typing::wrap_transform_error(args[0], args[1]));
}
PyObject* regex_pattern_str(PyObject*, PyObject* v) {
    py::Ref out;
    const int r = typing::regex_pattern_str(v, out);
    return from_optional(r, out);
}
PyObject* build_candidate_type_map(SEAM_ARGS) {
    SEAM_ARITY("build_candidate_type_map", 2);
    py::Ref out;
    const int r = typing::build_candidate_type_map(args[0], args[1] == Py_True, out);
    return from_optional(r, out);
}
PyObject* compute_open_str_value_spec(PyObject*, PyObject* v) {
    py::Ref out;
    const int r = typing::compute_open_str_value_spec(v, out);
    return from_optional(r, out);
}

// --- the loaded module's own test entry points -----------------------------

// The symbol `name` of the already loaded module file `path`, or null with
// an exception set.
void* native_symbol(PyObject* path, const char* name) {
    const char* file = PyUnicode_AsUTF8(path);
    if (!file) return nullptr;
    void* handle = dlopen(file, RTLD_NOW | RTLD_NOLOAD);
    if (!handle) {
        PyErr_Format(PyExc_ImportError, "module file not loaded: %s", file);
        return nullptr;
    }
    void* sym = dlsym(handle, name);
    dlclose(handle);  // the module stays loaded by the interpreter
    if (!sym) PyErr_Format(PyExc_ImportError, "%s not exported by %s", name, file);
    return sym;
}

// set_shortcuts(native_file, on)
PyObject* set_shortcuts(SEAM_ARGS) {
    SEAM_ARITY("set_shortcuts", 2);
    const int on = PyObject_IsTrue(args[1]);
    if (on < 0) return nullptr;
    auto fn = reinterpret_cast<void (*)(int)>(native_symbol(args[0], "vesk_test_set_shortcuts"));
    if (!fn) return nullptr;
    fn(on);
    return py::none();
}

// set_added_rules(native_file, on)
PyObject* set_added_rules(SEAM_ARGS) {
    SEAM_ARITY("set_added_rules", 2);
    const int on = PyObject_IsTrue(args[1]);
    if (on < 0) return nullptr;
    auto fn = reinterpret_cast<void (*)(int)>(native_symbol(args[0], "vesk_test_set_added_rules"));
    if (!fn) return nullptr;
    fn(on);
    return py::none();
}

// validate_fields_native(native_file, schema, source, allow_partial,
// transform, root_path, symbolic_default, skip_validation, no_child_paths,
// child_paths_for_transform) -> (dict, all_scalar); None means absent for
// transform and root_path, the flags are truth-tested.
PyObject* validate_fields_native(SEAM_ARGS) {
    SEAM_ARITY("validate_fields_native", 10);
    using Fn = PyObject* (*)(PyObject*, PyObject*, int, PyObject*, PyObject*, int, int, int, int);
    auto fn = reinterpret_cast<Fn>(native_symbol(args[0], "vesk_test_validate_fields_native"));
    if (!fn) return nullptr;
    int flags[5];
    const int at[5] = {3, 6, 7, 8, 9};
    for (int i = 0; i < 5; ++i) {
        flags[i] = PyObject_IsTrue(args[at[i]]);
        if (flags[i] < 0) return nullptr;
    }
    auto present = [](PyObject* o) { return o == Py_None ? nullptr : o; };
    return fn(args[1], args[2], flags[0], present(args[4]), present(args[5]), flags[1], flags[2],
              flags[3], flags[4]);
}

// hold_rule(native_file, spec) -> a capsule holding a copy of the spec's
// element rule.
PyObject* hold_rule(SEAM_ARGS) {
    SEAM_ARITY("hold_rule", 2);
    auto fn = reinterpret_cast<PyObject* (*)(PyObject*)>(
        native_symbol(args[0], "vesk_test_hold_rule"));
    return fn ? fn(args[1]) : nullptr;
}

// elem_rule(native_file, spec, allow_containers) -> (kind, payload,
// allow_none, widen_int, kept): see vesk_test_elem_rule.
PyObject* elem_rule(SEAM_ARGS) {
    SEAM_ARITY("elem_rule", 3);
    const int allow = PyObject_IsTrue(args[2]);
    if (allow < 0) return nullptr;
    auto fn = reinterpret_cast<PyObject* (*)(PyObject*, int)>(
        native_symbol(args[0], "vesk_test_elem_rule"));
    return fn ? fn(args[1], allow) : nullptr;
}

// native_table(native_file, symbol) -> what the exported table function
// `symbol` (PyObject* (void)) of the loaded module answers.
PyObject* native_table(SEAM_ARGS) {
    SEAM_ARITY("native_table", 2);
    const char* symbol = PyUnicode_AsUTF8(args[1]);
    if (!symbol) return nullptr;
    auto fn = reinterpret_cast<PyObject* (*)()>(native_symbol(args[0], symbol));
    return fn ? fn() : nullptr;
}

#undef SEAM_ARGS
#undef SEAM_ARITY

PyMethodDef functions[] = {
    py::method<typing::install_typing_bridge>("_install_typing_bridge"),
    py::method<typing::install_json_schema_fn>("_install_json_schema_fn"),
    py::method<typing::install_field_from_annotation>("_install_field_from_annotation"),
    py::method<typing::install_symbolic_container_types>("_install_symbolic_container_types"),
    py::method<bridge_slots>("bridge_slots"),
    py::method<json_schema_fn>("json_schema_fn"),
    py::method<field_from_annotation_fn>("field_from_annotation_fn"),
    py::method<symbolic_container_types>("symbolic_container_types"),
    py::method<is_missing>("is_missing"),
    py::method<fresh_missing>("fresh_missing"),
    py::method<missing_default>("missing_default"),
    py::method<missing_default_detached>("missing_default_detached"),
    py::method<callable_eq>("callable_eq"),
    py::method<call_to_json>("call_to_json"),
    py::method<call_is_generic>("call_is_generic"),
    py::method<call_is_instance>("call_is_instance"),
    py::method<call_is_subclass>("call_is_subclass"),
    py::method<is_custom_typing>("is_custom_typing"),
    py::method<is_maybe_partial>("is_maybe_partial"),
    py::method<is_copy_if_default>("is_copy_if_default"),
    py::method<read_sym_partial>("read_sym_partial"),
    py::method<spec_storage>("spec_storage"),
    py::method<any_fast_scalar_types>("any_fast_scalar_types"),
    py::method<is_any_fast_type>("is_any_fast_type"),
    py::method<is_primitive_value_type>("is_primitive_value_type"),
    py::method<is_plain_value_type>("is_plain_value_type"),
    py::method<is_scalar_value>("is_scalar_value"),
    py::method<deepcopy_memo_hit>("deepcopy_memo_hit"),
    py::method<deepcopy_memo_register>("deepcopy_memo_register"),
    py::method<as_type_args>("as_type_args"),
    py::method<from_annotation>("from_annotation"),
    py::method<union_getitem>("union_getitem"),
    py::method<generic_getitem_result>("generic_getitem_result"),
    py::method<root_path_str>("root_path_str"),
    py::method<root_path_display>("root_path_display"),
    py::method<message_on_path>("message_on_path"),
    py::method<py_repr>("py_repr"),
    py::method<wrap_transform_error>("wrap_transform_error"),
    py::method<regex_pattern_str>("regex_pattern_str"),
    py::method<build_candidate_type_map>("build_candidate_type_map"),
    py::method<compute_open_str_value_spec>("compute_open_str_value_spec"),
    py::method<set_shortcuts>("set_shortcuts"),
    py::method<set_added_rules>("set_added_rules"),
    py::method<validate_fields_native>("validate_fields_native"),
    py::method<native_table>("native_table"),
    py::method<hold_rule>("hold_rule"),
    py::method<elem_rule>("elem_rule"),
    py::kMethodsEnd,
};

int exec_module(PyObject* module) {
    hooks::SYM_PARTIAL_HOOK.set(&test_partial_hook);
    return py::add_functions(module, functions);
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "_typing_seams", nullptr, 0, nullptr, py::module_slots<exec_module>, nullptr, nullptr, nullptr,
};

}  // namespace

}  // namespace vesk::typing_seams

PyMODINIT_FUNC PyInit__typing_seams(void) {
    return PyModuleDef_Init(&vesk::typing_seams::module_def);
}
