#include "topology/key_path_set_links.hpp"

#include <atomic>

namespace vesk::topology::trie {

// `detach_empty` under a key whose lookups run Python code: the delete
// comes first and the test after, each node the delete took that was not
// empty put back in the same locked step. `back` holds the key with its
// hash, so that putting `child` back runs no Python code. The key's own
// hash runs in the delete before the dict locks anything, as for any dict
// operation: the section is given up if that code waits, and taken again
// before the delete.
int detach_slowly(PyObject* parent, PyObject* key, PyObject* child, py::Ref& stray) {
    if (PyDict_GET_SIZE(child) != 0) return 0;
    py::Ref back = new_node();
    if (!back || PyDict_SetItem(back.get(), key, child) < 0) return -1;
    PyObject* raw = nullptr;
    int found = PyDict_GetItemRef(parent, key, &raw);
    py::Ref held = py::Ref::steal(raw);
    if (found <= 0 || held.get() != child) return found < 0 ? -1 : 0;
    held.reset();
    py::Ref taken;
    {
        py::CriticalSection2 guard(parent, back.get());
        raw = nullptr;
        found = PyDict_Pop(parent, key, &raw);
        taken = py::Ref::steal(raw);
        if (found <= 0) return found;
        // Insertions into `child` take its lock, not the parent's: a store
        // made before the delete must be seen by the test below, and the
        // delete by its own check.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (taken.get() == child) {
            if (PyDict_GET_SIZE(child) == 0) return 1;
            // Under the parent's lock since the delete: no operation that
            // takes it saw the node gone.
            return PyDict_Merge(parent, back.get(), 0) < 0 ? -1 : 0;
        }
    }
    stray = std::move(taken);
    return 0;
}

int keep_taken(PyObject* parent, PyObject* key, py::Ref taken, py::Ref& stray) {
    PyObject* raw = nullptr;
    const int had = PyDict_SetDefaultRef(parent, key, taken.get(), &raw);
    py::Ref there = py::Ref::steal(raw);
    if (had < 0) return -1;
    if (had) stray = std::move(taken);
    return 0;
}

PyKeys Chain::keys() const {
    PyKeys out;
    out.reserve(keys_.size() + 1);
    for (PyObject* key : keys_) out.push_back(py::Ref::borrow(key));
    return out;
}

int put_back(PyObject* parent, PyObject* key, PyObject* node, WalkGuard& guard) {
    if (!PyDict_Check(node) || PyDict_GET_SIZE(node) == 0) return 0;
    WalkLevel level(guard, node);
    if (!level.ok()) return -1;
    // Into a new node, never `node` itself: a detached node stays detached.
    py::Ref fresh = new_node();
    if (!fresh) return -1;
    PyObject* raw = nullptr;
    const int found = PyDict_SetDefaultRef(parent, key, fresh.get(), &raw);
    py::Ref target = py::Ref::steal(raw);
    if (found < 0) return -1;
    if (!PyDict_Check(target.get())) {
        raise_not_a_node(target.get());
        return -1;
    }
    py::Ref entries = py::Ref::steal(PyDict_Keys(node));
    if (!entries) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* entry = PyList_GET_ITEM(entries.get(), i);
        raw = nullptr;
        const int taken = PyDict_Pop(node, entry, &raw);
        py::Ref value = py::Ref::steal(raw);
        if (taken < 0) return -1;
        if (!taken) continue;
        const int moved = PyDict_Check(value.get())
                              ? put_back(target.get(), entry, value.get(), guard)
                              : PyDict_SetDefaultRef(target.get(), entry, value.get(), nullptr);
        if (moved < 0) return -1;
    }
    return 0;
}

int empty_dropped(PyObject* node, WalkGuard& guard) {
    WalkLevel level(guard, node);
    if (!level.ok()) return -1;
    py::Ref entries = py::Ref::steal(PyDict_Keys(node));
    if (!entries) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* raw = nullptr;
        const int taken = PyDict_Pop(node, PyList_GET_ITEM(entries.get(), i), &raw);
        py::Ref value = py::Ref::steal(raw);
        if (taken < 0) return -1;
        if (taken && PyDict_Check(value.get()) && empty_dropped(value.get(), guard) < 0)
            return -1;
    }
    return 0;
}

int restore_paths(PyObject* root, PyKeys& keys, PyObject* node, WalkGuard& guard) {
    WalkLevel level(guard, node);
    if (!level.ok()) return -1;
    py::Ref entries = py::Ref::steal(PyDict_Keys(node));
    if (!entries) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(entries.get(), i);
        PyObject* raw = nullptr;
        const int taken = PyDict_Pop(node, key, &raw);
        py::Ref value = py::Ref::steal(raw);
        if (taken < 0) return -1;
        if (!taken) continue;
        const int mark = is_marker(key);
        if (mark < 0) return -1;
        if (mark) {
            if (add(root, keys, false, Reach::Shared) < 0) return -1;
            continue;
        }
        if (!PyDict_Check(value.get())) {
            raise_not_a_node(value.get());
            return -1;
        }
        keys.push_back(py::Ref::borrow(key));
        const int moved = restore_paths(root, keys, value.get(), guard);
        keys.pop_back();
        if (moved < 0) return -1;
    }
    return 0;
}

}  // namespace vesk::topology::trie
