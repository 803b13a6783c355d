// The node-state interface over the two object layouts, and their node
// tables: a SymObject keeps its node state in its State and its members in
// its field dictionary; a record keeps both in cells of its instance.
#include "symbolic/object/node_state.hpp"

#include "kernel/record/slots.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node_ops.hpp"
#include "symbolic/node_roles.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/object_state.hpp"
#include "symbolic/object/record_node.hpp"
#include "symbolic/origin.hpp"
#include "symbolic/repath_walk.hpp"
#include "symbolic/slots.hpp"
#include "topology/key_path.hpp"

#include <optional>

namespace vesk::symbolic::object {

namespace record = kernel::record;

namespace {

// The table of an object or a record; null for anything else.
const NodeOps* object_ops(PyObject* inst) noexcept {
    const NodeOps* ops = node_ops(inst);
    return ops == &kObjectNode || ops == &kRecordNode ? ops : nullptr;
}

int raise_not_a_node() {
    PyErr_SetString(PyExc_TypeError,
                    "node-state ABI: `inst` is neither a SymObject nor an inline-slot record");
    return -1;
}

// A role holding a reference, with a stored None read as empty: the None
// object and an empty cell both mean "none" to the topology operations.
int get_ref_role(const NodeOps& ops, PyObject* inst, Role role, py::Ref& out) {
    if (ops.get_role(inst, role, out) < 0) return -1;
    if (out.get() == Py_None) out.reset();
    return 0;
}

// A role read and written by a topology call that holds the node's claim
// (claim.hpp): no other write changes the node meanwhile, so another
// thread's hold of its state is a momentary one (a read, a flag set) and is
// waited out rather than failing the write that stamps or lets go the node.
int claimed_ref_role(const NodeOps& ops, PyObject* inst, Role role, py::Ref& out) {
    return past_momentary_holds([&] { return get_ref_role(ops, inst, role, out); });
}

int claimed_set_role(const NodeOps& ops, PyObject* inst, Role role, PyObject* value) {
    return past_momentary_holds([&] { return ops.set_role(inst, role, value); });
}

// Whether `type(inst).Name` is not the bridge's `default_hook`: 1, 0 or -1.
template <py::Literal Name>
int type_overrides(PyObject* inst, PyObject* default_hook) {
    py::Ref hook = py::get_attr<Name>(reinterpret_cast<PyObject*>(Py_TYPE(inst)));
    if (!hook) return -1;
    return hook.get() != default_hook;
}

// Whether two key paths (either may be empty) are the same path.
int same_path(PyObject* a, PyObject* b) {
    if (!a || !b) return a == b;
    return topology::same_key_path(a, b);
}

// `child.sym_seal(flag)` for a symbolic child that keeps a tree.
int seal_child(PyObject* child, PyObject* flag) {
    const int symbolic = is_symbolic(child);
    if (symbolic <= 0 || !lenient_topology_flag(child)) return symbolic;
    return py::call_method<"sym_seal">(child, flag) ? 0 : -1;
}

int each_field(PyObject* inst, ChildVisitor visit) {
    py::Ref fields;
    if (!inline_storage(inst, fields)) return -1;
    if (!fields) return 0;
    py::DictCursor cursor(fields.get());
    py::Ref key, value;
    for (int step; (step = cursor.next(key, value)) != 0;)
        if (step < 0 || visit(key.get(), value.get()) < 0) return -1;
    return 0;
}

int each_record_child(PyObject* inst, ChildVisitor visit) {
    NamedValues children;
    if (!record_symbolic_children(inst, children)) return -1;
    for (const auto& [name, child] : children)
        if (visit(name.get(), child.get()) < 0) return -1;
    return 0;
}

// --- a SymObject -----------------------------------------------------------------

int object_get_role(PyObject* inst, Role role, py::Ref& out) {
    return node_get_role<ObjectState>(inst, role, out);
}

int object_set_role(PyObject* inst, Role role, PyObject* value) {
    return node_set_role<ObjectState>(inst, role, value);
}

// Its own flag first; nothing more when it already has the value. Claimed
// for its whole work, and set as a write's checks see it
// (symbolic/checked_change.hpp): a field write never stores after the seal
// returned.
int object_seal(PyObject* inst, bool is_seal) {
    if (node_read_guard(inst) < 0) return -1;
    {
        py::Shared<ObjectState> held(inst);
        if (!held) return -1;
        if (held->node.sealed == is_seal) return 0;
    }
    ClaimScope claims;
    if (change_flags(claims, inst, [is_seal](ObjectState& s) { s.node.sealed = is_seal; }) < 0)
        return -1;
    PyObject* flag = is_seal ? Py_True : Py_False;
    auto seal_one = [flag](PyObject*, PyObject* child) { return seal_child(child, flag); };
    return each_field(inst, visitor(seal_one));
}

// --- a record ------------------------------------------------------------------------

int record_get_role(PyObject* inst, Role role, py::Ref& out) {
    return record::get_role(inst, role, out) ? 0 : -1;
}

int record_set_role(PyObject* inst, Role role, PyObject* value) {
    if (record::is_flag_role(role)) value = stored_truth(value) ? Py_True : Py_False;
    return record::set_role(inst, role, value) ? 0 : -1;
}

// Its children (or its materialised view) first, its own flag last, every
// time, under the record's claim, as an object's seal.
int record_seal(PyObject* inst, bool is_seal) {
    if (record_read_guard(inst) < 0) return -1;
    ClaimScope claims;
    if (claims.exclusive(inst) < 0) return -1;
    PyObject* flag = is_seal ? Py_True : Py_False;
    py::Ref view;
    if (!record::read_view(inst, view)) return -1;
    if (view) {
        py::Ref attributes = py::get_attr<"_sym_attributes">(inst);
        if (!attributes || !py::call_method<"sym_seal">(attributes.get(), flag)) return -1;
    } else {
        auto seal_one = [flag](PyObject*, PyObject* child) { return seal_child(child, flag); };
        if (each_record_child(inst, visitor(seal_one)) < 0) return -1;
    }
    return record::set_role(inst, record::kRoleSealed, flag) ? 0 : -1;
}

int record_read_slot(PyObject* inst, SlotKey slot, py::Ref& out) {
    record::FieldCells cells;
    if (!cells.open(inst)) return -1;
    const int written = cells.read_if_set(slot.key, out);
    return written < 0 ? -1 : 0;
}

StoreOutcome record_store_if(PyObject* inst, SlotKey slot, PyObject* expected, PyObject* value,
                             py::Ref& now) {
    record::FieldCells cells;
    if (!cells.open(inst)) return StoreOutcome::Error;
    if (expected == kPlainSlot) {
        // A cell is compared by identity alone: read what a plain store
        // would replace, then store over that very value.
        if (cells.read_if_set(slot.key, now) < 0) return StoreOutcome::Error;
        if (!store_expects(now.get(), expected, value)) return StoreOutcome::Changed;
        expected = now.get();
    }
    switch (cells.write_if(slot.key, expected, value, now)) {
        case 1: return StoreOutcome::Done;
        case 0: return StoreOutcome::Changed;
        default: return StoreOutcome::Error;
    }
}

// --- both --------------------------------------------------------------------------------

int node_set_path(PyObject* inst, PyObject* path) {
    NodeFacts facts;
    if (!node_facts(inst, facts)) return -1;
    return set_path(inst, path, facts);
}

}  // namespace

int get_role(PyObject* inst, std::uint64_t role, py::Ref& out) {
    const NodeOps* ops = object_ops(inst);
    return ops ? ops->get_role(inst, role, out) : raise_not_a_node();
}

int set_role(PyObject* inst, std::uint64_t role, PyObject* value) {
    const NodeOps* ops = object_ops(inst);
    return ops ? ops->set_role(inst, role, value) : raise_not_a_node();
}

int topology_gate(PyObject* inst, const NodeFacts& facts, const char* operation) {
    if (facts.topo_enabled) return 0;
    if (is_sym_object(inst)) return require_topo(inst, false, operation);
    py::Ref name = py::Ref::steal(PyUnicode_FromString(operation));
    if (!name) return -1;
    return py::call_method<"_require_topo">(inst, name.get()) ? 0 : -1;
}

int blank_guard(PyObject* inst) {
    const NodeOps* ops = object_ops(inst);
    if (ops == &kObjectNode) return node_read_guard(inst);
    if (ops == &kRecordNode) return record_read_guard(inst);
    return 0;
}

int set_parent(PyObject* inst, PyObject* parent) {
    NodeFacts facts;
    if (!node_facts(inst, facts) || topology_gate(inst, facts, "topo_setparent") < 0) return -1;
    const NodeOps* ops = object_ops(inst);
    if (!ops) return raise_not_a_node();
    ClaimedCall call;
    if (call.enter(inst) < 0) return -1;
    py::Ref old;
    if (claimed_ref_role(*ops, inst, record::kRoleParent, old) < 0) return -1;
    // The parent it already has is not written again, so threads stamping
    // one shared child alike do not refuse each other's hold.
    if (old && old.get() == parent) return 0;
    if (claimed_set_role(*ops, inst, record::kRoleParent, parent) < 0) return -1;
    if (old.get() == parent) return 0;  // both empty
    bool overridden = facts.parent_change_overridden;
    if (!facts.decided) {
        const ObjectBridge* b = object_bridge();
        if (!b) return -1;
        const int r =
            type_overrides<"on_topo_parent_change">(inst, b->default_on_topo_parent_change.get());
        if (r < 0) return -1;
        overridden = r != 0;
    }
    if (!overridden) return 0;
    return py::call_method<"on_topo_parent_change">(inst, or_none(old), or_none(parent)) ? 0 : -1;
}

int set_path(PyObject* inst, PyObject* path, const NodeFacts& facts) {
    if (topology_gate(inst, facts, "topo_setpath") < 0 || blank_guard(inst) < 0) return -1;
    const NodeOps* ops = object_ops(inst);
    if (!ops) return raise_not_a_node();
    // The node and what it holds are re-pathed alone (claim.hpp).
    ClaimedCall call;
    if (call.enter(inst) < 0) return -1;
    py::Ref old;
    if (claimed_ref_role(*ops, inst, record::kRolePath, old) < 0) return -1;
    const int same = same_path(old.get(), path);
    if (same != 0) return same < 0 ? -1 : 0;
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    const bool is_object = ops == &kObjectNode;
    {
        // Once in a walk (repath_walk.hpp), to the end of its members' walk.
        RepathStep step;
        if (const int go = step.enter(inst, old.get(), path); go <= 0) return go;
        if (claimed_set_role(*ops, inst, record::kRolePath, path) < 0) return -1;
        if (!is_object && type_overrides<"_update_children_paths">(
                              inst, b->default_update_children_paths.get()) < 0)
            return -1;
        if (!is_object || facts.update_children_overridden) {
            WalkScope walk(inst);
            walk.by_parent();
            return py::call_method<"_update_children_paths">(inst, or_none(old), or_none(path))
                       ? 0
                       : -1;
        }
        const int is_path = PyObject_IsInstance(or_none(path), b->keypath_cls.get());
        if (is_path <= 0) {
            if (is_path == 0) PyErr_SetNone(PyExc_AssertionError);
            return -1;
        }
        if (update_children_paths_native(inst, path) < 0) return -1;
    }
    if (!facts.path_change_overridden) return 0;
    return py::call_method<"on_topo_path_change">(inst, or_none(old), path) ? 0 : -1;
}

int set_origin(PyObject* inst, PyObject* source, PyObject* tag, PyObject* stacktrace,
               PyObject* stacklimit, std::int64_t stacktop) {
    const NodeOps* ops = object_ops(inst);
    py::Ref recorded = recorded_stacktop(stacktop);
    if (!recorded || blank_guard(inst) < 0) return -1;
    if (!ops) return raise_not_a_node();
    // Decided and stored under one claim: of two threads recording origins,
    // one meets the other's claim and fails at once with the borrow refusal,
    // instead of both passing the test and the later replacing the other.
    ClaimScope claims;
    if (claims.exclusive(inst) < 0) return -1;
    py::Ref old;
    if (claimed_ref_role(*ops, inst, record::kRoleOrigin, old) < 0 ||
        check_origin_source(old.get(), source) < 0)
        return -1;
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    py::Ref made =
        make_origin(b->origin_cls.get(), source, tag, stacktrace, stacklimit, recorded.get());
    return made ? claimed_set_role(*ops, inst, record::kRoleOrigin, made.get()) : -1;
}

int seal(PyObject* inst, bool is_seal) {
    const NodeOps* ops = object_ops(inst);
    return ops ? ops->seal(inst, is_seal) : raise_not_a_node();
}

}  // namespace vesk::symbolic::object

namespace vesk::symbolic {

constinit const NodeOps kObjectNode{
    .kind = "SymObject",
    .get_role = object::object_get_role,
    .set_role = object::object_set_role,
    .seal = object::object_seal,
    .set_parent = object::set_parent,
    .set_path = object::node_set_path,
    .each_child = object::each_field,
    .read_slot = dict_read_slot,
    .store_if = dict_store_if,
};

constinit const NodeOps kRecordNode{
    .kind = "record",
    .get_role = object::record_get_role,
    .set_role = object::record_set_role,
    .seal = object::record_seal,
    .set_parent = object::set_parent,
    .set_path = object::node_set_path,
    .each_child = object::each_record_child,
    .read_slot = object::record_read_slot,
    .store_if = object::record_store_if,
};

}  // namespace vesk::symbolic
