#include "symbolic/object/class_facts.hpp"

#include "symbolic/object/ctor_meta.hpp"
#include "symbolic/object/object_state.hpp"

namespace vesk::symbolic::object {

namespace {

}  // namespace

bool node_facts(PyObject* inst, NodeFacts& out) {
    out = NodeFacts{};
    if (!is_sym_object(inst)) return true;
    CtorMetaRef meta = ctor_meta(py::class_of(inst));
    if (!meta) return false;
    out.decided = true;
    out.topo_enabled = meta->topo_enabled;
    out.parent_change_overridden = meta->parent_change_overridden;
    out.update_children_overridden = meta->update_children_overridden;
    out.path_change_overridden = meta->path_change_overridden;
    return true;
}

int enable_topo_of(PyObject* obj) {
    CtorMetaRef meta = ctor_meta(py::class_of(obj));
    if (!meta) return -1;
    return meta->topo ? 1 : 0;
}

}  // namespace vesk::symbolic::object
