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
    std::unique_ptr<ChildPaths> fresh;
    {
        py::Shared<S, py::Refuse::NotImplemented> held(inst);
        if (!held) return;
        const ChildPaths* kept = held->node.child_paths.get();
        const bool same_parent = kept && kept->parent.get() == parent_path;
        // A full record is the common case for a node with many keys: it
        // costs this write nothing beyond the look.
        if (same_parent && kept->entries.size() >= ChildPaths::kMost) return;
        fresh = std::make_unique<ChildPaths>();
        if (same_parent) fresh->entries = kept->entries;
    }
    fresh->parent = py::Ref::borrow(parent_path);
    fresh->entries.emplace_back(py::Ref::borrow(key), py::Ref::borrow(path));
    py::state<S>(inst).node.child_paths.publish(std::move(fresh), py::borrow_flag<S>(inst));
}

}  // namespace vesk::symbolic
