// Test-only: the symbolic layer's internal operations (marker tests,
// adoption, the policy lookups, the wrap and object-attributes builders,
// default origin and change notification) bound one by one, so the suite can
// reach what the module only calls from inside. Compiled into development
// builds of the module (never into the wheel) and handed out as a dict of
// functions by the C entry point `vesk_test_symbolic_seams`, which the seams
// extension calls (`native_table`).
#include "py/args.hpp"
#include "py/methods.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/dict/dict_ops.hpp"
#include "symbolic/list/list_ops.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/wrap/wrap_node.hpp"
#include "symbolic/write_core.hpp"
#include "seam_args.hpp"

#include <optional>

#define VESK_EXPORT extern "C" __attribute__((visibility("default")))

namespace vesk::symbolic_seams {

namespace {

using namespace vesk::symbolic;


PyObject* from_int(int r) { return r < 0 ? nullptr : py::boolean(r != 0); }
PyObject* absent_as_none(py::Ref r) { return r ? r.release() : py::none(); }
PyObject* present(PyObject* o) { return o == Py_None ? nullptr : o; }

bool truth(PyObject* o, bool& out) {
    const int t = PyObject_IsTrue(o);
    out = t == 1;
    return t >= 0;
}

template <int (*Test)(PyObject*)>
PyObject* marker(PyObject*, PyObject* value) {
    return from_int(Test(value));
}
PyObject* is_primitive(PyObject*, PyObject* value) { return py::boolean(symbolic::is_primitive(value)); }
PyObject* lenient_topology_flag(PyObject*, PyObject* value) {
    return py::boolean(symbolic::lenient_topology_flag(value));
}
PyObject* detach_old_child(PyObject*, PyObject* value) {
    return symbolic::detach_old_child(value) < 0 ? nullptr : py::none();
}

// unstamp_phantom_path(key, child, owner_path)
PyObject* unstamp_phantom_path(SEAM_ARGS) {
    SEAM_ARITY("unstamp_phantom_path", 3);
    return symbolic::unstamp_phantom_path(args[0], args[1], present(args[2])) < 0 ? nullptr
                                                                                 : py::none();
}

// adopt(pairs, adopting, owner_path, container, parent_to_set, claimed,
//       parent_set_by_caller, policy) -> list of adopted values. `pairs` is a
// list of (key, child), adopted in order under one claimed set: None for
// none, "native" for an identity set made here, or a Python set.
PyObject* adopt(SEAM_ARGS) {
    SEAM_ARITY("adopt", 8);
    std::optional<ClaimedSet> claimed;
    if (PyUnicode_Check(args[5])) claimed.emplace();
    else if (args[5] != Py_None) claimed.emplace(args[5]);
    AdoptArgs a;
    if (!truth(args[1], a.adopting) || !truth(args[6], a.parent_set_by_caller)) return nullptr;
    a.owner_path = present(args[2]);
    a.container = args[3];
    a.parent_to_set = args[4];
    a.claimed = claimed ? &*claimed : nullptr;
    a.policy = present(args[7]);
    py::Ref pairs = py::Ref::steal(PySequence_List(args[0]));
    py::Ref out = py::Ref::steal(PyList_New(0));
    if (!pairs || !out) return nullptr;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pairs.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(pairs.get(), i);
        if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
            PyErr_SetString(PyExc_TypeError, "pairs must hold (key, child) tuples");
            return nullptr;
        }
        a.key = PyTuple_GET_ITEM(pair, 0);
        py::Ref adopted = adopt_child(PyTuple_GET_ITEM(pair, 1), a);
        if (!adopted || PyList_Append(out.get(), adopted.get()) < 0) return nullptr;
    }
    return out.release();
}

// field_policy(schema or None, key, fallback or None)
PyObject* field_policy(SEAM_ARGS) {
    SEAM_ARITY("field_policy", 3);
    py::Ref out;
    if (!symbolic::field_policy(present(args[0]), args[1], present(args[2]), out)) return nullptr;
    return absent_as_none(std::move(out));
}

// class_field_policy(obj, name)
PyObject* class_field_policy(SEAM_ARGS) {
    SEAM_ARITY("class_field_policy", 2);
    py::Ref out;
    if (!symbolic::class_field_policy(args[0], args[1], out)) return nullptr;
    return absent_as_none(std::move(out));
}

// wrap_dict(cls, raw, spec, allow_partial, path, parent); None = absent.
PyObject* wrap_dict(SEAM_ARGS) {
    SEAM_ARITY("wrap_dict", 6);
    bool allow_partial = false;
    if (!truth(args[3], allow_partial)) return nullptr;
    return dict::wrap_dict(args[0], args[1], present(args[2]), allow_partial, args[4],
                           present(args[5]))
        .release();
}

// wrap_list(cls, raw, spec, allow_partial, path, parent); None = absent.
PyObject* wrap_list(SEAM_ARGS) {
    SEAM_ARITY("wrap_list", 6);
    bool allow_partial = false;
    if (!truth(args[3], allow_partial)) return nullptr;
    return list::wrap_list(args[0], args[1], present(args[2]), allow_partial, args[4],
                           present(args[5]))
        .release();
}

// wrap_node(cls, raw, spec, flags, path): the function of the wrap-node hook.
PyObject* wrap_node(SEAM_ARGS) {
    SEAM_ARITY("wrap_node", 5);
    bool flag = false;
    if (!truth(args[3], flag)) return nullptr;
    return build_wrap_node(args[0], args[1], args[2], flag ? 1 : 0, args[4]);
}

// object_attributes(entries, spec, allow_partial, sealed, enable_topo,
//                   root_path, raw, owner, parent, parent_set_by_caller)
PyObject* object_attributes(SEAM_ARGS) {
    SEAM_ARITY("object_attributes", 10);
    dict::ObjectAttributesArgs a;
    a.entries = args[0];
    a.spec = present(args[1]);
    if (!truth(args[2], a.allow_partial) || !truth(args[3], a.sealed) ||
        !truth(args[4], a.enable_topo) || !truth(args[6], a.raw) ||
        !truth(args[9], a.parent_set_by_caller))
        return nullptr;
    a.root_path = present(args[5]);
    a.owner = args[7];
    a.parent = args[8];
    return dict::build_object_attributes(a).release();
}

PyObject* default_origin(PyObject*) {
    bool ok = true;
    py::Ref origin = symbolic::default_origin(ok);
    return ok ? absent_as_none(std::move(origin)) : nullptr;
}

// notify(owner, update)
PyObject* notify(SEAM_ARGS) {
    SEAM_ARITY("notify", 2);
    return notify_field_update(args[0], args[1]) < 0 ? nullptr : py::none();
}

#undef SEAM_ARGS
#undef SEAM_ARITY

PyMethodDef functions[] = {
    py::method<marker<symbolic::is_symbolic>>("is_symbolic"),
    py::method<marker<symbolic::is_inferential>>("is_inferential"),
    py::method<marker<symbolic::is_reference_like>>("is_reference_like"),
    py::method<marker<symbolic::is_topology_aware>>("is_topology_aware"),
    py::method<marker<symbolic::strict_topology_flag>>("strict_topology_flag"),
    py::method<marker<symbolic::needs_parenting>>("needs_parenting"),
    py::method<is_primitive>("is_primitive"),
    py::method<lenient_topology_flag>("lenient_topology_flag"),
    py::method<detach_old_child>("detach_old_child"),
    py::method<unstamp_phantom_path>("unstamp_phantom_path"),
    py::method<adopt>("adopt"),
    py::method<field_policy>("field_policy"),
    py::method<class_field_policy>("class_field_policy"),
    py::method<wrap_dict>("wrap_dict"),
    py::method<wrap_list>("wrap_list"),
    py::method<wrap_node>("wrap_node"),
    py::method<object_attributes>("object_attributes"),
    py::method<default_origin>("default_origin"),
    py::method<notify>("notify"),
    py::kMethodsEnd,
};

}  // namespace

}  // namespace vesk::symbolic_seams

// A new dict {name: function} of the seams above.
VESK_EXPORT PyObject* vesk_test_symbolic_seams(void) {
    using vesk::py::Ref;
    Ref table = Ref::steal(PyDict_New());
    if (!table) return nullptr;
    for (PyMethodDef* def = vesk::symbolic_seams::functions; def->ml_name; ++def) {
        Ref fn = Ref::steal(PyCFunction_New(def, nullptr));
        if (!fn || PyDict_SetItemString(table.get(), def->ml_name, fn.get()) < 0) return nullptr;
    }
    return table.release();
}
