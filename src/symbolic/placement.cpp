#include "symbolic/placement.hpp"

#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/repath_walk.hpp"

namespace vesk::symbolic {

namespace {

// `Name` read off `node`; with `lenient`, an attribute it does not have
// leaves `known` false and `out` null. False with an exception.
template <py::Literal Name>
bool read_part(PyObject* node, bool lenient, py::Ref& out, bool& known) {
    known = true;
    if (!lenient) {
        out = py::get_attr<Name>(node);
        return static_cast<bool>(out);
    }
    const int r = py::get_optional_attr<Name>(node, out);
    known = r > 0;
    return r >= 0;
}

}  // namespace

bool read_placement(PyObject* node, Placement& out, bool lenient) {
    ChildState state;
    const int r = read_child_state(node, state);
    if (r < 0) return false;
    if (r > 0) {
        out = placement_of(std::move(state));
        return true;
    }
    py::Ref parent;
    if (!read_part<"_topo_parent">(node, lenient, parent, out.parent_known) ||
        !read_part<"_topo_path">(node, lenient, out.path, out.path_known))
        return false;
    out.parent = is_absent(parent) ? py::Ref() : std::move(parent);
    out.native = false;
    return true;
}

Names names_parent(PyObject* node, PyObject* parent) noexcept {
    PyObject* pending = PyErr_GetRaisedException();
    py::Ref now;
    int native = 0;
    bool read = past_momentary_holds([&] {
                    native = native_parent(node, now);
                    return native < 0 ? -1 : 0;
                }) == 0;
    if (read && native == 0) {
        now = py::get_attr<"_topo_parent">(node);
        read = static_cast<bool>(now);
    }
    Names out = Names::Unknown;
    if (!read)
        PyErr_Clear();
    else
        out = is_absent(now) ? Names::None : now.get() == parent ? Names::Parent : Names::Other;
    PyErr_SetRaisedException(pending);
    return out;
}

bool give_back(PyObject* node, const Placement& prior, bool parent, bool path,
               bool parent_first) noexcept {
    parent = parent && prior.parent_known;
    path = path && prior.path_known;
    PyObject* pending = PyErr_GetRaisedException();
    // A walk of its own (repath_walk.hpp), not one of a write it runs in.
    RepathWalk walk;
    auto set_parent = [&] {
        PyObject* p = prior.parent ? prior.parent.get() : Py_None;
        if (past_momentary_holds([&] { return call_method_void<"topo_setparent">(node, p); }) == 0)
            return true;
        PyErr_Clear();
        return false;
    };
    auto set_path = [&] {
        // The shared empty path: a giving back allocates no path of its own.
        py::Ref p = prior.path;
        if (is_absent(p)) {
            const ContainerBridge* b = container_bridge();
            p = b ? b->empty_key_path : py::Ref();
        }
        if (!p) {
            PyErr_Clear();
            return;
        }
        auto stamp = [&] {
            return past_momentary_holds(
                [&] { return call_method_void<"topo_setpath">(node, p.get()); });
        };
        if (stamp() == 0) return;
        // Out of memory part way, the node may hold its path while members
        // of it still name the old one, and stamping that path again walks
        // nothing: it is stamped once more and its members re-pathed by its
        // own walk, so no member is left behind its node for want of one
        // allocation. A hook's own refusal is not asked twice.
        if (PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Clear();
            py::Ref walk;
            if (stamp() == 0 && py::get_optional_attr<"_update_children_paths">(node, walk) >= 0) {
                PyObject* args[] = {p.get(), p.get()};
                if (!walk || py::Ref::steal(PyObject_Vectorcall(walk.get(), args, 2, nullptr)))
                    return;
            }
        }
        PyErr_Clear();
    };
    bool took = true;
    if (parent && parent_first) took = set_parent();
    // A node that refused to let go of a parent keeps the path that names
    // it there; one that never took it is given its path back.
    if (path && (took || names_parent(node, nullptr) == Names::None)) set_path();
    if (parent && !parent_first) took = set_parent();
    PyErr_SetRaisedException(pending);
    return took;
}

bool take_back(PyObject* node, const Placement& prior, bool parent, bool path) noexcept {
    if (!parent && !path) return true;
    PyObject* had = prior.parent ? prior.parent.get() : nullptr;
    if (prior.parent_known && names_parent(node, had) == Names::Other) return false;
    if (give_back(node, prior, parent, path, false)) return true;
    // Refused: its place is what its hook left it.
    return !prior.parent_known || names_parent(node, had) == (had ? Names::Parent : Names::None);
}

}  // namespace vesk::symbolic
