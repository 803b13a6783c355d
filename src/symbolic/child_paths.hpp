// Keeping the key paths of a node's members (node.hpp, ChildPaths) for the
// writes that report changes under them.
#pragma once

#include "py/hold.hpp"
#include "symbolic/node.hpp"

#include <memory>

namespace vesk::symbolic {

// Keeps `path`, the key path of `key` under `parent_path`, in the node of
// `inst` (of State `S`) beside the paths it keeps under the same parent
// path, unless it keeps as many as it may already: the first keys written
// under a path keep theirs, and a write of any other key builds its path as
// it would without the record. Called with no hold of `inst`; when its state
// cannot be read at once, nothing is kept (a cache, not an outcome).
template <class S>
void keep_child_path(PyObject* inst, PyObject* parent_path, PyObject* key, PyObject* path) {
    if (!parent_path) return;
    auto fresh = std::make_unique<ChildPaths>();
    fresh->parent = py::Ref::borrow(parent_path);
    {
        py::Shared<S, py::Refuse::NotImplemented> held(inst);
        if (!held) return;
        if (const ChildPaths* kept = held->node.child_paths.get();
            kept && kept->parent.get() == parent_path) {
            if (kept->entries.size() >= ChildPaths::kMost) return;
            fresh->entries = kept->entries;
        }
    }
    fresh->entries.emplace_back(py::Ref::borrow(key), py::Ref::borrow(path));
    py::state<S>(inst).node.child_paths.publish(std::move(fresh), py::borrow_flag<S>(inst));
}

}  // namespace vesk::symbolic
