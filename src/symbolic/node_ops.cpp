#include "symbolic/node_ops.hpp"

#include "kernel/record/slots.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/classes.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/repath_walk.hpp"
#include "topology/key_path.hpp"

namespace vesk::symbolic {

const NodeOps* node_ops(PyObject* value) noexcept {
    if (is_sym_dict(value)) return &kDictNode;
    if (is_sym_list(value)) return &kListNode;
    if (object::is_sym_object(value)) return &kObjectNode;
    return kernel::record::is_record(value) ? &kRecordNode : nullptr;
}

int repath_members(const NodeOps& ops, PyObject* node, PyObject* new_path,
                   PyObject* keypath_cls) {
    // A member that refuses its path does not stop the walk: the others
    // still follow the node (and a walk giving a failed write's paths back
    // leaves only the refusing member where its hook left it). The first
    // failure is raised at the end.
    py::Ref first;
    WalkScope walk(node);
    auto repath = [&](PyObject* key, PyObject* child) {
        const int topo_aware = is_topology_aware(child);
        int r = topo_aware;
        if (topo_aware > 0 && lenient_topology_flag(child)) {
            PyObject* call[] = {key, new_path};
            py::Ref path = keypath_cls
                               ? py::Ref::steal(PyObject_Vectorcall(keypath_cls, call, 2, nullptr))
                               : topology::child_key_path(key, new_path);
            // A member another thread holds for a moment (reading it) is
            // waited for: a walk cut short would leave the members after it
            // under the old path, and setting the node's path again would
            // find it set and not walk.
            // A member of another kind re-paths itself in Python: what it
            // has is noted, for a refused walk to give back.
            if (path && !node_ops(child) && !RepathWalk::note_other(child)) path.reset();
            if (path) {
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
        // A walk that met a node twice stops: what it changed is given back.
        return RepathWalk::refused() ? -1 : 0;
    };
    const int r = ops.each_child(node, visitor(repath));
    if (!first) {
        if (r < 0) RepathWalk::raise_refusal();
        return r;
    }
    PyErr_Clear();  // the stop asked for above
    PyErr_SetRaisedException(first.release());
    return -1;
}

}  // namespace vesk::symbolic
