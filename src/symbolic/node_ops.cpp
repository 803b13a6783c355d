#include "symbolic/node_ops.hpp"

#include "kernel/record/slots.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node.hpp"
#include "symbolic/repath_walk.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic {

const NodeOps* node_ops(PyObject* value) noexcept {
    if (is_sym_dict(value)) return &kDictNode;
    if (is_sym_list(value)) return &kListNode;
    if (object::is_sym_object(value)) return &kObjectNode;
    return kernel::record::is_record(value) ? &kRecordNode : nullptr;
}

namespace {

// The member's path under `base`: made by `keypath_cls`, or natively when
// that is null.
py::Ref path_under(PyObject* keypath_cls, PyObject* key, PyObject* base) {
    PyObject* call[] = {key, base};
    return keypath_cls ? py::Ref::steal(PyObject_Vectorcall(keypath_cls, call, 2, nullptr))
                       : topology::child_key_path(key, base);
}

// A walk over `node`'s members that met a node twice after `reached` of
// them: those before the last go back under the node's old path `old`; the
// last gave itself back, unless it is `other`, a member of another kind,
// which gets back the path it told (repath_walk.hpp).
[[gnu::cold]] void give_members_back(const NodeOps& ops, PyObject* node, PyObject* old,
                                     PyObject* keypath_cls, std::size_t reached,
                                     PyObject* other, PyObject* told) {
    RepathWalk::GivingBack giving;
    std::size_t k = 0;
    auto back = [&](PyObject* key, PyObject* child) {
        if (++k >= reached) return -1;
        if (is_topology_aware(child) > 0 && lenient_topology_flag(child)) {
            py::Ref path = path_under(keypath_cls, key, or_none(old));
            if (path)
                (void)past_momentary_holds(
                    [&] { return call_method_void<"topo_setpath">(child, path.get()); });
        }
        PyErr_Clear();
        return 0;
    };
    (void)ops.each_child(node, visitor(back));
    if (other) give_told_path_back(other, told);
}

}  // namespace

int repath_members(const NodeOps& ops, PyObject* node, PyObject* new_path,
                   PyObject* keypath_cls) {
    // A member that refuses its path does not stop the walk: the others
    // still follow the node (and a walk giving a failed write's paths back
    // leaves only the refusing member where its hook left it). The first
    // failure is raised at the end. A walk that meets a node twice does stop
    // (repath_walk.hpp).
    py::Ref first;
    WalkScope walk(node);
    // How many members the walk reached; the last of them, when it is of
    // another kind, with the path it told.
    std::size_t reached = 0;
    py::Ref other, told;
    auto repath = [&](PyObject* key, PyObject* child) {
        ++reached;
        const int topo_aware = is_topology_aware(child);
        int r = topo_aware;
        if (topo_aware > 0 && lenient_topology_flag(child)) {
            py::Ref path = path_under(keypath_cls, key, new_path);
            // A member another thread holds for a moment (reading it) is
            // waited for: a walk cut short would leave the members after it
            // under the old path, and setting the node's path again would
            // find it set and not walk.
            if (path) {
                if (!node_ops(child)) {
                    other.reset();
                    if (told_path(child, told)) other = py::Ref::borrow(child);
                }
                walk.visiting(child);
                r = past_momentary_holds([child, &path] {
                    return call_method_void<"topo_setpath">(child, path.get());
                });
                walk.visiting(nullptr);
            } else {
                r = -1;
            }
        }
        if (r < 0 && !first) first = py::Ref::steal(PyErr_GetRaisedException());
        PyErr_Clear();
        // A refused walk stops and fails the call that met it, also where
        // Python code took the refusal and returned.
        if (!RepathWalk::refused()) return 0;
        if (other.get() != child) other.reset();  // only the last member reached counts
        return -1;
    };
    const int r = ops.each_child(node, visitor(repath));
    PyObject* old = nullptr;
    if (RepathWalk::refused() && RepathWalk::old_path(node, old))
        give_members_back(ops, node, old, keypath_cls, reached, other.get(), told.get());
    if (!first) {
        if (r < 0 || RepathWalk::refused()) {
            RepathWalk::raise_refusal();
            return -1;
        }
        return r;
    }
    PyErr_SetRaisedException(first.release());
    return -1;
}

}  // namespace vesk::symbolic
