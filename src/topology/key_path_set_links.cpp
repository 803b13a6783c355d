#include "topology/key_path_set_links.hpp"

#include "py/critical_section.hpp"
#include "py/dict_delete_if.hpp"

namespace vesk::topology::trie {

namespace {

// Whether `value`, the node a parent holds, is `child` and empty. Runs under
// the parent's lock, with the child's held by the caller.
int is_empty_child(PyObject* value, void* child) {
    return value == child && PyDict_GET_SIZE(value) == 0;
}

}  // namespace

int detach_empty(PyObject* parent, PyObject* key, PyObject* child) {
    if (PyDict_GET_SIZE(child) != 0) return 0;
    // The test and the delete are one step under both locks: an insertion
    // into `child` takes its lock, so it lands either first (the node is
    // kept) or in a node already detached, which it then finds out. The key's
    // lookup comes before that step; its hash and comparisons may run Python
    // code (a key that is not a str or an int, or a key of the same hash in
    // `parent`), which lets other threads in as the interpreter's own dict
    // operations do: the step tests what is there once they are done.
    py::CriticalSection2 guard(parent, child);
    return py::dict_delete_if(parent, key, is_empty_child, child);
}

PyKeys Chain::keys() const {
    PyKeys out;
    out.reserve(keys_.size() + 1);
    for (PyObject* key : keys_) out.push_back(py::Ref::borrow(key));
    return out;
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
