// Test-only: what object construction does that no Python-visible member
// reaches yet (the native initialiser, which the kernel's `tp_init`
// trampoline calls; the compiled fill alone; the partial entry, which the
// typing layer reaches through its hook cell; the pure-symbolic scan), and
// the facts a class's ObjectCtorMeta records, which have no Python surface. Handed out as a dict of functions by the C entry
// point `vesk_test_construct_seams` (through the seams extension's
// `native_table`). Compiled into development builds only.
#include "py/methods.hpp"
#include "py/ref.hpp"
#include "symbolic/object/construct/construct.hpp"
#include "symbolic/object/construct/construct_steps.hpp"
#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/construct/fill.hpp"
#include "symbolic/object/partial.hpp"
#include "seam_args.hpp"

#define VESK_EXPORT extern "C" __attribute__((visibility("default")))

namespace vesk::construct_seams {

namespace {

using namespace vesk::symbolic::object;

// native_init(obj, args, kwargs): the native `tp_init` body; kwargs None
// for a call without keywords. Answers None.
PyObject* native_init(SEAM_ARGS) {
    SEAM_ARITY("native_init", 3);
    PyObject* kwargs = args[2] == Py_None ? nullptr : args[2];
    return symbolic::object::native_init(args[0], args[1], kwargs) < 0 ? nullptr : py::none();
}

// clone_construct(obj, kwargs, src, deep, memo): the core as the
// clone-construct seam runs it (no root path, sealed unspecified).
PyObject* clone_construct(SEAM_ARGS) {
    SEAM_ARITY("clone_construct", 5);
    CloneSource clone;
    clone.source = args[2];
    clone.deep = args[3] == Py_True;
    clone.memo = args[4];
    ConstructRequest rq;
    rq.self = args[0];
    rq.kwargs = args[1];
    rq.clone = &clone;
    return construct(rq) < 0 ? nullptr : py::none();
}

int set_bool(PyObject* d, const char* name, bool value) {
    return PyDict_SetItemString(d, name, value ? Py_True : Py_False);
}

int set_ref(PyObject* d, const char* name, const py::Ref& value) {
    return PyDict_SetItemString(d, name, value ? value.get() : Py_None);
}

// The record as a dict of its facts; the compiled fields as a list of
// (key, has default, container_default) tuples, None when absent.
py::Ref facts_of(const CtorMeta& m) {
    py::Ref d = py::Ref::steal(PyDict_New());
    if (!d) return {};
    py::Ref compiled = py::Ref::borrow(Py_None);
    if (m.has_compiled_fields) {
        compiled = py::Ref::steal(PyList_New(0));
        if (!compiled) return {};
        for (const CompiledField& f : m.compiled_fields) {
            py::Ref t = py::Ref::steal(Py_BuildValue(
                "(OOO)", f.key.get(), f.default_value ? Py_True : Py_False,
                f.container_default ? Py_True : Py_False));
            if (!t || PyList_Append(compiled.get(), t.get()) < 0) return {};
        }
    }
    const struct {
        const char* name;
        bool value;
    } flags[] = {
        {"topo_enabled", m.topo_enabled},
        {"parent_change_overridden", m.parent_change_overridden},
        {"update_children_overridden", m.update_children_overridden},
        {"path_change_overridden", m.path_change_overridden},
        {"topo", m.topo},
        {"attr_write", m.attr_write},
        {"frozen", m.frozen},
        {"post_init_overridden", m.post_init_overridden},
        {"bound_overridden", m.bound_overridden},
        {"ready_runs", m.ready_runs},
        {"preinit_overridden", m.preinit_overridden},
        {"validate_overridden", m.validate_overridden},
        {"has_attrs_builder", m.has_attrs_builder},
        {"has_non_symbolic_fields", m.has_non_symbolic_fields},
        {"cooperative_init_needed", m.cooperative_init_needed},
        {"default_topo_setters", m.default_topo_setters},
        {"default_sym_missing", m.default_sym_missing},
        {"default_pure_symbolic", m.default_pure_symbolic},
    };
    for (const auto& f : flags)
        if (set_bool(d.get(), f.name, f.value) < 0) return {};
    if (PyDict_SetItemString(d.get(), "compiled_fields", compiled.get()) < 0 ||
        set_ref(d.get(), "schema", m.schema) < 0 || set_ref(d.get(), "sym_fields", m.sym_fields) < 0 ||
        set_ref(d.get(), "init_schema", m.init_schema) < 0 ||
        set_ref(d.get(), "init_fields", m.init_fields) < 0 ||
        set_ref(d.get(), "non_symbolic_names", m.non_symbolic_names) < 0 ||
        set_ref(d.get(), "alias_names", m.alias_names) < 0 ||
        set_ref(d.get(), "init_field_names", m.init_field_names) < 0 ||
        set_ref(d.get(), "public_init_fields", m.public_init_fields) < 0)
        return {};
    return d;
}

// ctor_meta_facts(cls): the facts of the class's cached (or new) metadata.
PyObject* ctor_meta_facts(PyObject*, PyObject* cls) {
    CtorMetaRef m = ctor_meta(cls);
    return m ? facts_of(*m).release() : nullptr;
}

// built_meta_facts(cls): the facts of a record built now, not cached.
PyObject* built_meta_facts(PyObject*, PyObject* cls) {
    CtorMetaRef m = build_ctor_meta(cls);
    return m ? facts_of(*m).release() : nullptr;
}

// compiled_fill(obj, kwargs, root_path): the fill for `type(obj)`, as
// construction runs it: (fields, all_primitive, all_scalar), or None when
// it declines.
PyObject* compiled_fill(SEAM_ARGS) {
    SEAM_ARITY("compiled_fill", 3);
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(args[0]));
    CtorMetaRef m = ctor_meta(cls);
    if (!m) return nullptr;
    FillArgs a;
    a.cls = cls;
    a.kwargs = args[1];
    a.owner = args[0];
    a.root_path = args[2] == Py_None ? nullptr : args[2];
    FillResult r;
    switch (symbolic::object::compiled_fill(*m, a, r)) {
        case FillOutcome::Error: return nullptr;
        case FillOutcome::Declined: return py::none();
        case FillOutcome::Filled: break;
    }
    return Py_BuildValue("(OOO)", r.fields.get(), r.all_primitive ? Py_True : Py_False,
                         r.all_scalar ? Py_True : Py_False);
}

// partial(value): the partial-construction entry; None when it declines.
PyObject* partial(PyObject*, PyObject* value) {
    switch (sym_partial_native(value)) {
        case hooks::Partial::Error: return nullptr;
        case hooks::Partial::Yes: return py::boolean(true);
        case hooks::Partial::No: return py::boolean(false);
        case hooks::Partial::Declined: break;
    }
    return py::none();
}

// pure_symbolic_scan(value): True, False, or None when undecided.
PyObject* pure_symbolic_scan(PyObject*, PyObject* value) {
    switch (symbolic::object::pure_symbolic_scan(value)) {
        case Scan::Error: return nullptr;
        case Scan::Yes: return py::boolean(true);
        case Scan::No: return py::boolean(false);
        case Scan::Undecided: break;
    }
    return py::none();
}

#undef SEAM_ARGS
#undef SEAM_ARITY

PyMethodDef functions[] = {
    py::method<native_init>("native_init"),
    py::method<clone_construct>("clone_construct"),
    py::method<ctor_meta_facts>("ctor_meta_facts"),
    py::method<built_meta_facts>("built_meta_facts"),
    py::method<compiled_fill>("compiled_fill"),
    py::method<partial>("partial"),
    py::method<pure_symbolic_scan>("pure_symbolic_scan"),
    py::kMethodsEnd,
};

}  // namespace

}  // namespace vesk::construct_seams

// A new dict {name: function} of the seams above.
VESK_EXPORT PyObject* vesk_test_construct_seams(void) {
    using vesk::py::Ref;
    Ref table = Ref::steal(PyDict_New());
    if (!table) return nullptr;
    for (PyMethodDef* def = vesk::construct_seams::functions; def->ml_name; ++def) {
        Ref fn = Ref::steal(PyCFunction_New(def, nullptr));
        if (!fn || PyDict_SetItemString(table.get(), def->ml_name, fn.get()) < 0) return nullptr;
    }
    return table.release();
}
