#include "symbolic/object/class_facts.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/object_state.hpp"

namespace vesk::symbolic::object {

namespace {

PyObject* class_of(PyObject* obj) noexcept { return reinterpret_cast<PyObject*>(Py_TYPE(obj)); }

// `cls.__sym_options__.topo`.
py::Ref topo_option(PyObject* cls) {
    py::Ref options = py::get_attr<"__sym_options__">(cls);
    return options ? py::get_attr<"topo">(options.get()) : py::Ref();
}

// Whether the class attribute read by `read` is not `default_hook`: 1, 0 or -1.
template <class Read>
int overrides(PyObject* cls, Read read, const py::Ref& default_hook) {
    py::Ref hook = read(cls);
    if (!hook) return -1;
    return hook.get() != default_hook.get();
}

}  // namespace

bool node_facts(PyObject* inst, NodeFacts& out) {
    out = NodeFacts{};
    if (!is_sym_object(inst)) return true;
    const ObjectBridge* b = object_bridge();
    if (!b) return false;
    PyObject* cls = class_of(inst);
    py::Ref topo = topo_option(cls);
    if (!topo) return false;
    const int enabled = PyObject_IsTrue(topo.get());
    if (enabled < 0) return false;
    const int parent = overrides(
        cls, py::get_attr<"on_topo_parent_change">, b->default_on_topo_parent_change);
    if (parent < 0) return false;
    const int children = overrides(
        cls, py::get_attr<"_update_children_paths">, b->default_update_children_paths);
    if (children < 0) return false;
    const int path =
        overrides(cls, py::get_attr<"on_topo_path_change">, b->default_on_topo_path_change);
    if (path < 0) return false;
    out.decided = true;
    out.topo_enabled = enabled != 0;
    out.parent_change_overridden = parent != 0;
    out.update_children_overridden = children != 0;
    out.path_change_overridden = path != 0;
    return true;
}

int enable_topo_of(PyObject* obj) {
    py::Ref topo = topo_option(class_of(obj));
    bool out = false;
    if (!topo || !py::arg_bool_scalar("topo", topo.get(), out)) return -1;
    return out ? 1 : 0;
}

}  // namespace vesk::symbolic::object
