#include "symbolic/object/records/record_view.hpp"

#include "kernel/record/slots.hpp"
#include "py/borrow.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "py/named.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/dict/dict_ops.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/node_ops.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/placement.hpp"
#include "symbolic/object/node_state.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/records/record_construct.hpp"
#include "symbolic/object/records/record_meta.hpp"
#include "symbolic/object/record_node.hpp"

namespace vesk::symbolic::object {

namespace record = kernel::record;

namespace {

constexpr const char kDash[] = "\xe2\x80\x94";  // an em dash, in UTF-8

int raise_no_view_cell(PyObject* inst, const record::RecordLayout& layout) {
    py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(inst)));
    if (name)
        PyErr_Format(PyExc_RuntimeError,
                     "slot record: materialize requires the full production reserved region (%zd "
                     "slots %s the node-state roles plus the __weakref__ cell); %R carries %llu "
                     "%s a kernel probe Record has no view slot (#461)",
                     record::kProductionReserved, kDash, name.get(),
                     static_cast<unsigned long long>(layout.reserved), kDash);
    return -1;
}

// The truth of a node-state flag role; an empty role or a failing truth
// test counts as false.
bool flag_truth(PyObject* inst, std::uint64_t role, bool& out) {
    py::Ref value;
    if (get_role(inst, role, value) < 0) return false;
    out = false;
    if (value) {
        const int truth = PyObject_IsTrue(value.get());
        if (truth < 0) PyErr_Clear();
        out = truth > 0;
    }
    return true;
}

// Whether `name` is in the list `names`: 1, 0 or -1.
int listed(PyObject* names, PyObject* name) { return PySequence_Contains(names, name); }

// Calls `visit(entry)` for each entry of the view under a field of the class
// that is not symbolic and that takes a parent, while it answers 1. 1, or
// the first other answer (0, or -1 with the failure set).
template <class Visit>
int each_other_entry(PyObject* view, PyObject* field_names, PyObject* symbolic_names,
                     Visit visit) {
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref name = py::list_item(field_names, i);
        if (!name) return 1;
        const int symbolic = listed(symbolic_names, name.get());
        if (symbolic < 0) return -1;
        if (symbolic) continue;
        PyObject* hit = nullptr;
        if (PyDict_GetItemRef(view, name.get(), &hit) < 0) return -1;
        py::Ref entry = py::Ref::steal(hit);
        if (!entry) continue;
        const int needs = needs_parenting(entry.get());
        if (needs < 0) return -1;
        if (!needs) continue;
        const int went_on = visit(entry.get());
        if (went_on != 1) return went_on;
    }
}

// Parents the view's entries that are not symbolic fields of the class.
int parent_other_entries(PyObject* inst, PyObject* view, PyObject* field_names,
                         PyObject* symbolic_names) {
    const int done = each_other_entry(view, field_names, symbolic_names, [&](PyObject* entry) {
        return py::call_method<"topo_setparent">(entry, inst) ? 1 : -1;
    });
    return done < 0 ? -1 : 0;
}

// The view with the record's sealed and allow_partial flags copied on.
py::Ref with_flags(PyObject* inst, py::Ref view) {
    bool sealed = false, allow_partial = false;
    if (!flag_truth(inst, kRoleSealed, sealed) || !flag_truth(inst, kRoleAllowPartial, allow_partial))
        return {};
    if (PyObject_SetAttrString(view.get(), "_sealed", sealed ? Py_True : Py_False) < 0 ||
        PyObject_SetAttrString(view.get(), "_allow_partial", allow_partial ? Py_True : Py_False) <
            0)
        return {};
    return view;
}

using dict::Members;

// The non-symbolic fields' entries of a view taken as they sit: each that
// takes a parent names the record already. 1, 0 or -1.
int others_parented(PyObject* inst, PyObject* view, PyObject* field_names,
                    PyObject* symbolic_names) {
    return each_other_entry(view, field_names, symbolic_names, [&](PyObject* entry) {
        return names_parent(entry, inst) == Names::Parent ? 1 : 0;
    });
}

py::Ref build_view(PyObject* inst, PyObject* field_names, Members members) {
    PyObject* cls = py::class_of(inst);
    const ObjectBridge* b = object_bridge();
    if (!b) return {};
    py::Ref values = record::read_fields(inst, field_names);
    if (!values) return {};
    RecordFacts facts;
    const int found = record_meta(cls, facts);
    if (found < 0) return {};
    if (!found) {
        facts.sym_fields = py::get_attr<"sym_fields">(cls);
        facts.symbolic_field_names = py::get_attr<"__slot_symbolic_field_names__">(cls);
        py::Ref topo = py::get_attr<"enable_topo">(cls);
        const int enabled = topo ? PyObject_IsTrue(topo.get()) : -1;
        if (!facts.sym_fields || !facts.symbolic_field_names || enabled < 0) return {};
        facts.enable_topo = enabled != 0;
    }
    py::Ref path;
    if (facts.enable_topo && get_role(inst, kRolePath, path) < 0) return {};
    const bool covers = record_adoption_covers(inst);
    dict::ObjectAttributesArgs a;
    a.entries = values.get();
    a.spec = facts.sym_fields.get() == Py_None ? nullptr : facts.sym_fields.get();
    a.enable_topo = facts.enable_topo;
    a.root_path = path.get() == Py_None ? nullptr : path.get();
    // Children the record already holds are shared, not cloned; inside the
    // record's own parenting pass, the pass gives them their parent.
    a.owner = inst;
    a.parent = inst;
    a.parent_set_by_caller = covers;
    if (members == Members::AsTheySit) {
        py::Ref view = dict::read_object_attributes(a);
        if (!view) return {};
        const int parented =
            covers ? 1 : others_parented(inst, view.get(), field_names,
                                         facts.symbolic_field_names.get());
        if (parented <= 0) return {};
        return with_flags(inst, std::move(view));
    }
    py::Ref view = dict::build_object_attributes(a);
    if (!view) return {};
    if (!covers && parent_other_entries(inst, view.get(), field_names,
                                        facts.symbolic_field_names.get()) < 0)
        return {};
    return with_flags(inst, std::move(view));
}

// The blank test of a seam that is given the record's field list
// `field_names`: the class's `__slot_field_names__` decides when the class
// has it, else the first given name's cell, else the reserved-count rule.
// 1, 0 or -1.
int blank_by_field_list(PyObject* inst, PyObject* field_names) {
    py::Ref names;
    if (py::get_optional_attr<"__slot_field_names__">(py::class_of(inst), names) < 0) return -1;
    py::Ref first = names ? py::Ref() : py::list_item(field_names, 0);
    if (!first) return record_is_blank(inst);
    const int written = record::field_written(inst, first.get());
    return written < 0 ? -1 : !written;
}

}  // namespace

py::Ref record_materialize(PyObject* inst, PyObject* field_names) {
    const record::RecordLayout* layout = record::require_record(inst);
    if (!layout) return {};
    const int blank = blank_by_field_list(inst, field_names);
    if (blank < 0) return {};
    if (blank) {
        py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(inst)));
        if (name)
            PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '_sym_attributes'",
                         name.get());
        return {};
    }
    if (!record::has_view_cell(*layout)) {
        (void)raise_no_view_cell(inst, *layout);
        return {};
    }
    py::Ref view;
    if (!record::read_view(inst, view)) return {};
    if (view) return view;
    // The view places the record's children under the record's path as it
    // reads it: the record and its ancestors are claimed as a write under
    // the record claims them, so a placement or re-path of the record or of
    // any node above it, meeting this first use, is refused at once, or
    // refuses it, whichever comes second (claim.hpp). The children are
    // claimed as the view adopts them.
    ClaimScope claims;
    if (claims.tree(inst) < 0 || !record::read_view(inst, view)) return {};
    if (view) return view;
    view = build_view(inst, field_names, Members::Adopted);
    if (!view) {
        // A child another thread claims: another first use adopting it,
        // most often. Concurrent first uses agree on one view (the first
        // installed), so this one takes the members as they sit, where
        // adopting them would change nothing; elsewhere the refusal stands.
        py::Ref refusal = py::Ref::steal(PyErr_GetRaisedException());
        if (py::is_claim_refusal(refusal.get()))
            view = build_view(inst, field_names, Members::AsTheySit);
        if (!view) {
            if (!PyErr_Occurred()) PyErr_SetRaisedException(refusal.release());
            return {};
        }
    }
    return record::install_view(inst, view.get());
}

int record_is_materialized(PyObject* inst) {
    py::Ref view;
    if (!record::read_view(inst, view)) return -1;
    return view ? 1 : 0;
}

int record_repath_children(PyObject* inst, PyObject* new_path) {
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    const int is_path = new_path ? PyObject_IsInstance(new_path, b->keypath_cls.get()) : 0;
    if (is_path <= 0) {
        if (is_path == 0) PyErr_SetNone(PyExc_AssertionError);
        return -1;
    }
    if (!record::require_record(inst)) return -1;
    ClaimedCall call;
    if (call.enter(inst) < 0) return -1;
    py::Ref topo = py::get_attr<"enable_topo">(inst);
    if (!topo) return -1;
    const int enabled = PyObject_IsTrue(topo.get());
    if (enabled <= 0) return enabled;
    py::Ref view;
    if (!record::read_view(inst, view)) return -1;
    if (view) {
        py::Ref attributes = py::get_attr<"_sym_attributes">(inst);
        if (!attributes) return -1;
        WalkScope walk(inst);
        walk.visiting(attributes.get());
        return py::call_method<"topo_setpath">(attributes.get(), new_path) ? 0 : -1;
    }
    return repath_members(kRecordNode, inst, new_path, b->keypath_cls.get());
}

bool record_inline_fields(PyObject* inst, PyObject* field_names, py::Ref& out) {
    out.reset();
    if (!record::require_record(inst)) return false;
    const int blank = blank_by_field_list(inst, field_names);
    if (blank != 0) return blank > 0;
    out = record::read_fields(inst, field_names);
    return static_cast<bool>(out);
}

bool record_node_read(PyObject* inst, std::uint64_t role, py::Ref& out) {
    if (!record::require_record(inst) || record_read_guard(inst) < 0) return false;
    return record::get_role(inst, role, out);
}

}  // namespace vesk::symbolic::object
