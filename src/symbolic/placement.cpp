#include "symbolic/placement.hpp"

#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/momentary.hpp"

namespace vesk::symbolic {

bool read_placement(PyObject* node, Placement& out) {
    ChildState state;
    const int r = read_child_state(node, state);
    if (r < 0) return false;
    if (r > 0) {
        out = placement_of(std::move(state));
        return true;
    }
    py::Ref parent = py::get_attr<"_topo_parent">(node);
    if (!parent) return false;
    out.path = py::get_attr<"_topo_path">(node);
    if (!out.path) return false;
    out.parent = is_absent(parent) ? py::Ref() : std::move(parent);
    out.native = false;
    return true;
}

void give_back(PyObject* node, const Placement& prior, bool parent, bool path,
               bool parent_first) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    auto set_parent = [&] {
        PyObject* p = prior.parent ? prior.parent.get() : Py_None;
        if (past_momentary_holds([&] { return call_method_void<"topo_setparent">(node, p); }) < 0)
            PyErr_Clear();
    };
    auto set_path = [&] {
        py::Ref p = prior.path;
        if (is_absent(p)) {
            const ContainerBridge* b = container_bridge();
            p = b ? py::Ref::steal(PyObject_CallNoArgs(b->keypath_cls.get())) : py::Ref();
        }
        if (!p ||
            past_momentary_holds([&] { return call_method_void<"topo_setpath">(node, p.get()); }) <
                0)
            PyErr_Clear();
    };
    if (parent && parent_first) set_parent();
    if (path) set_path();
    if (parent && !parent_first) set_parent();
    PyErr_SetRaisedException(pending);
}

}  // namespace vesk::symbolic
