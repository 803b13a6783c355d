#include "symbolic/object/records/record_construct.hpp"

#include "flags.hpp"
#include "kernel/record/slots.hpp"
#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/lazy.hpp"
#include "py/named.hpp"
#include "py/write_span.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/node.hpp"
#include "symbolic/node_ops.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/construct/construct_steps.hpp"
#include "symbolic/object/construct/fill.hpp"
#include "symbolic/object/construct/keyword_report.hpp"
#include "symbolic/object/node_state.hpp"
#include "symbolic/object/records/record_meta.hpp"
#include "symbolic/policy.hpp"
#include "typing/schema/drivers.hpp"

#include <vector>

namespace vesk::symbolic::object {

namespace record = kernel::record;

namespace {

// The records whose second adoption pass runs on this thread: a
// materialisation inside that pass leaves the parenting to the pass.
thread_local std::vector<PyObject*> PASS2_STACK;

class AdoptionPass2Guard {
public:
    explicit AdoptionPass2Guard(PyObject* inst) { PASS2_STACK.push_back(inst); }
    ~AdoptionPass2Guard() { PASS2_STACK.pop_back(); }
    AdoptionPass2Guard(const AdoptionPass2Guard&) = delete;
    AdoptionPass2Guard& operator=(const AdoptionPass2Guard&) = delete;
};

// The truth of `obj.Name`: 1, 0 or -1.
template <py::Literal Name>
int truth_of(PyObject* obj) {
    py::Ref value = py::get_attr<Name>(obj);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// The truth of `cls.__sym_options__.Name`: 1, 0 or -1.
template <py::Literal Name>
int option(PyObject* cls) {
    py::Ref options = py::get_attr<"__sym_options__">(cls);
    return options ? truth_of<Name>(options.get()) : -1;
}

// The keywords of `kwargs` that are not str or not in `field_names`, in
// order, into a new list `out` (left null when there are none).
bool unexpected_keywords(PyObject* kwargs, PyObject* field_names, py::Ref& out) {
    py::DictCursor cursor(kwargs);
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return false;
        int known = 0;
        if (PyUnicode_Check(key.get())) {
            known = PySequence_Contains(field_names, key.get());
            if (known < 0) return false;
        }
        if (known) continue;
        if (!out && !(out = py::Ref::steal(PyList_New(0)))) return false;
        if (PyList_Append(out.get(), key.get()) < 0) return false;
    }
    return true;
}

int construct_cells(PyObject* inst, const RecordFacts* facts, PyObject* field_names,
                    PyObject* kwargs, bool allow_partial, PyObject* transform,
                    PyObject* root_path) {
    if (!record::require_record(inst)) return -1;
    PyObject* cls = py::class_of(inst);
    py::Ref values = kwargs ? py::Ref::borrow(kwargs) : py::Ref::steal(PyDict_New());
    if (!values) return -1;
    py::Ref unexpected;
    if (!unexpected_keywords(values.get(), field_names, unexpected)) return -1;
    if (unexpected) {
        if (report_unexpected_keywords(cls, unexpected.get()) < 0) return -1;
        values = without_keys(values.get(), unexpected.get());
        if (!values) return -1;
    }
    const int topo = option<"topo">(cls);
    if (topo < 0) return -1;
    py::Ref schema;
    if (facts) {
        schema = facts->schema;
    } else {
        py::Ref sym_fields = py::get_attr<"sym_fields">(cls);
        if (sym_fields) schema = py::get_attr<"schema">(sym_fields.get());
        if (!schema) return -1;
    }
    PyTypeObject* schema_type = typing::schema::schema_type();
    if (!schema_type || !py::expect_instance(schema.get(), schema_type)) return -1;
    const bool partial =
        flags::forced(flags::FlagId::AllowPartial).value_or(allow_partial);
    typing::schema::ConstructArgs args;
    args.allow_partial = partial;
    args.transform = transform;
    args.root_path = root_path;
    args.symbolic_default = topo != 0;
    // Records without symbolic fields report errors without child paths.
    args.no_child_paths = facts && !facts->has_symbolic_fields();
    typing::schema::Validated validated;
    if (!typing::schema::validate_fields_native(schema.get(), values.get(), args, validated))
        return -1;
    if (!PyDict_Check(validated.fields.get())) {
        py::raise_not_instance(validated.fields.get(), "dict");
        return -1;
    }
    if (!partial) {
        py::Ref missing =
            typing::schema::missing_required_keys(schema.get(), values.get(), topo != 0);
        if (!missing) return -1;
        if (PyList_GET_SIZE(missing.get()) > 0) {
            raise_missing_arguments(cls, missing.get());
            return -1;
        }
    }
    return record::write_fields(inst, field_names, validated.fields.get()) ? 0 : -1;
}

}  // namespace

int record_seed_facts(PyObject* inst, bool allow_partial, bool sealed, bool attr_write,
                      PyObject* root_path) {
    if (!record::require_record(inst)) return -1;
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    PyObject* path = root_path ? root_path : b->empty_key_path.get();
    const record::RoleWrite writes[] = {
        {kRoleAllowPartial, allow_partial ? Py_True : Py_False},
        {kRoleAccessorWritable, attr_write ? Py_True : Py_False},
        {kRoleSealed, sealed ? Py_True : Py_False},
        {kRolePath, path},
        {kRoleParent, nullptr},
    };
    if (!record::set_roles(inst, writes)) return -1;
    if (!flags::origin_tracking_on()) return 0;
    PyObject* tag;
    if (!py::intern<"__init__">(tag)) return -1;
    py::Ref origin = py::Ref::steal(
        PyObject_CallFunctionObjArgs(b->origin_cls.get(), Py_None, tag, nullptr));
    return origin && record::set_role(inst, kRoleOrigin, origin.get()) ? 0 : -1;
}

namespace {

// The child of `name` for the parenting pass: the view's entry when the
// record has a materialised view (None when it lacks one), else the cell.
py::Ref parenting_child(const record::FieldCells& cells, PyObject* view, PyObject* name) {
    if (!view) return cells.read(name);
    PyObject* hit = nullptr;
    if (PyDict_Check(view)) {
        if (PyDict_GetItemRef(view, name, &hit) < 0) return {};
    } else {
        hit = PyObject_GetItem(view, name);
        if (!hit) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
            PyErr_Clear();
        }
    }
    return hit ? py::Ref::steal(hit) : py::Ref::borrow(Py_None);
}

int parenting_pass(PyObject* inst, PyObject* field_names) {
    AdoptionPass2Guard guard(inst);
    const py::WriteSpan closed(inst, py::WriteSpan::Mode::Closed);
    py::Ref view;
    if (!record::read_view(inst, view)) return -1;
    record::FieldCells cells;
    if (!cells.open(inst)) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref name = py::list_item(field_names, i);
        if (!name) return 0;
        py::Ref child = parenting_child(cells, view.get(), name.get());
        if (!child) return -1;
        // As an object's construction parents its children.
        if (parent_child(inst, name.get(), child.get()) < 0) return -1;
    }
}

}  // namespace

bool record_adoption_covers(PyObject* inst) noexcept {
    for (PyObject* running : PASS2_STACK)
        if (running == inst) return true;
    return false;
}

int record_construct_cells(PyObject* inst, PyObject* field_names, PyObject* kwargs,
                           bool allow_partial, PyObject* child_transform, PyObject* root_path) {
    if (!record::require_record(inst)) return -1;
    RecordFacts facts;
    const int found = record_meta(py::class_of(inst), facts);
    if (found < 0) return -1;
    return construct_cells(inst, found ? &facts : nullptr, field_names, kwargs, allow_partial,
                           child_transform, root_path);
}

int record_construct_cells_from(PyObject* inst, const RecordFacts& facts, PyObject* field_names,
                                PyObject* kwargs, bool allow_partial, PyObject* child_transform,
                                PyObject* root_path) {
    return construct_cells(inst, &facts, field_names, kwargs, allow_partial, child_transform,
                           root_path);
}

int record_seed_node_state(PyObject* inst, bool allow_partial, SealedArg sealed,
                           PyObject* root_path) {
    if (!record::require_record(inst)) return -1;
    PyObject* cls = py::class_of(inst);
    RecordFacts facts;
    const int found = record_meta(cls, facts);
    if (found < 0) return -1;
    if (!found) {
        const int frozen = option<"frozen">(cls);
        if (frozen < 0) return -1;
        const int attr_write = option<"attr_write">(cls);
        if (attr_write < 0) return -1;
        facts.frozen = frozen != 0;
        facts.attr_write = attr_write != 0;
    }
    const bool is_sealed = sealed == SealedArg::Unspecified ? facts.frozen : sealed == SealedArg::Yes;
    return record_seed_facts(inst, allow_partial, is_sealed, facts.attr_write, root_path);
}

int record_adopt_children(PyObject* inst, PyObject* field_names) {
    if (!record::require_record(inst)) return -1;
    record::FieldCells cells;
    if (!cells.open(inst)) return -1;
    // Primitive values are neither symbolic nor topology-aware: adoption
    // leaves them as they are in both passes, so the class facts and the
    // record's path are read only once a value needs them.
    int adopting = -1;
    py::Ref path;
    ClaimedSet claimed;
    // Adoptions that fail part of the way give back what they placed; done,
    // they stand or fall with the construction around them. The children
    // stay claimed until they have their parent (claim.hpp): a write
    // meeting one meanwhile is refused, not shown it free; the log claims
    // them to its end, or its construction's (AdoptionLog).
    AdoptionLog log(inst);
    // The children's hooks meet the record closed to their writes: the
    // passes read its cells and store back what they adopt
    // (py/write_span.hpp).
    const py::WriteSpan closed(inst, py::WriteSpan::Mode::Closed);
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref name = py::list_item(field_names, i);
        if (!name) break;
        py::Ref value = cells.read(name.get());
        if (!value) return -1;
        if (is_primitive(value.get())) continue;
        if (adopting < 0) {
            adopting = truth_of<"enable_topo">(inst);
            if (adopting < 0) return -1;
            path = py::get_attr<"_topo_path">(inst);
            if (!path) return -1;
        }
        py::Ref policy;
        if (!class_field_policy(inst, name.get(), policy)) return -1;
        AdoptArgs args;
        args.key = name.get();
        args.adopting = adopting != 0;
        args.owner_path = path.get() == Py_None ? nullptr : path.get();
        args.container = inst;
        args.parent_to_set = inst;
        args.claimed = &claimed;
        args.parent_set_by_caller = true;
        args.policy = policy.get();
        py::Ref result = adopt_child(value.get(), args);
        if (!result) return -1;
        // Only a replaced child is written back, and only over the value it
        // replaces: an empty cell stays empty, and a cell another thread
        // wrote meanwhile keeps what it was given.
        py::Ref now;
        if (result.get() != value.get() &&
            kRecordNode.store_if(inst, SlotKey{name.get()}, value.get(), result.get(), now) ==
                StoreOutcome::Error)
            return -1;
    }
    const int done = adopting == 0  ? 0
                     : adopting < 0 ? record_adopt_primitive_cells(inst, field_names)
                                    : parenting_pass(inst, field_names);
    if (done == 0) log.keep();
    return done;
}

int record_adopt_primitive_cells(PyObject* inst, PyObject* field_names) {
    // Every cell holds a primitive: only a materialised view can hold a
    // child that needs its parent.
    py::Ref view;
    if (!record::read_view(inst, view)) return -1;
    if (!view) return 0;
    const int adopting = truth_of<"enable_topo">(inst);
    if (adopting <= 0) return adopting;
    return parenting_pass(inst, field_names);
}

int record_finish(PyObject* inst, bool sealed, const CloneSource* clone) {
    PyObject* cls = py::class_of(inst);
    py::Ref non_symbolic = py::get_attr<"_non_symbolic_fields">(cls);
    if (!non_symbolic) return -1;
    return record_finish_with(inst, non_symbolic.get(), nullptr, sealed, clone);
}

int record_finish_with(PyObject* inst, PyObject* non_symbolic, PyObject* post_init_noop,
                       bool sealed, const CloneSource* clone) {
    const int has_non_symbolic = PyObject_IsTrue(non_symbolic);
    if (has_non_symbolic < 0) return -1;
    if (has_non_symbolic) {
        const ObjectBridge* b = object_bridge();
        if (!b) return -1;
        py::Ref done =
            clone ? py::Ref::steal(PyObject_CallFunctionObjArgs(
                        b->clone_non_symbolic_fields.get(), inst, clone->source,
                        clone->deep ? Py_True : Py_False, or_none(clone->memo), nullptr))
                  : py::Ref::steal(PyObject_CallFunctionObjArgs(
                        b->seed_non_symbolic_fields.get(), inst, non_symbolic, nullptr));
        if (!done) return -1;
    }
    py::Ref noop_flag = post_init_noop
                            ? py::Ref::borrow(post_init_noop)
                            : py::get_attr<"_sym_post_init_is_noop">(py::class_of(inst));
    if (!noop_flag) return -1;
    const int noop = PyObject_IsTrue(noop_flag.get());
    if (noop < 0) return -1;
    if (!noop && !py::call_method<"on_sym_post_init">(inst)) return -1;
    return !sealed || py::call_method<"sym_seal">(inst, Py_True) ? 0 : -1;
}

}  // namespace vesk::symbolic::object
