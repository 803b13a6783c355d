#include "topology/key_path_set_trie.hpp"

#include "py/dict_cursor.hpp"
#include "py/imported.hpp"
#include "py/once_cell.hpp"

#include <bit>
#include <iterator>

namespace vesk::topology::trie {

namespace {

py::ObjectCell marker_cell;

[[nodiscard]] bool require_node(PyObject* value) {
    if (PyDict_Check(value)) return true;
    raise_not_a_node(value);
    return false;
}

// Deletes the collected keys; a key already gone (another holder of a shared
// node pruned it meanwhile) is no error.
[[nodiscard]] int delete_keys(PyObject* node, const std::vector<py::Ref>& keys) {
    for (const py::Ref& key : keys)
        if (PyDict_Pop(node, key.get(), nullptr) < 0) return -1;
    return 0;
}

struct Copier {
    WalkGuard guard;

    [[nodiscard]] py::Ref copy_key(PyObject* key) {
        if (PyUnicode_Check(key) || PyLong_Check(key)) return py::Ref::borrow(key);
        PyObject* deepcopy = py::deepcopy_fn.get();
        if (!deepcopy) return {};
        // One argument, passed as is: a tuple key is one key, not an
        // argument list.
        return py::Ref::steal(PyObject_CallOneArg(deepcopy, key));
    }

    [[nodiscard]] py::Ref copy(PyObject* node) {
        WalkLevel level(guard, node);
        if (!level.ok()) return {};
        py::Ref out = new_node();
        if (!out) return {};
        py::DictCursor cursor(node);
        py::Ref key, value;
        int step;
        while ((step = cursor.next(key, value)) == 1) {
            py::Ref new_key = copy_key(key.get());
            if (!new_key) return {};
            py::Ref new_value = PyDict_Check(value.get()) ? copy(value.get()) : value;
            if (!new_value || PyDict_SetItem(out.get(), new_key.get(), new_value.get()) < 0)
                return {};
        }
        if (step < 0) return {};
        return out;
    }
};

[[nodiscard]] int merge_into(PyObject* target, PyObject* source, Copier& copier,
                             WalkGuard& guard) {
    WalkLevel level(guard, source);
    if (!level.ok()) return -1;
    py::DictCursor cursor(source);
    py::Ref key, value;
    int step;
    while ((step = cursor.next(key, value)) == 1) {
        const int mark = is_marker(key.get());
        if (mark < 0) return -1;
        py::Ref existing;
        if (!mark) {
            PyObject* raw = nullptr;
            if (PyDict_GetItemRef(target, key.get(), &raw) < 0) return -1;
            existing = py::Ref::steal(raw);
        }
        if (!existing) {
            // A marker (overwriting the target's own) or a new branch.
            py::Ref stored = PyDict_Check(value.get()) ? copier.copy(value.get()) : value;
            if (!stored || PyDict_SetItem(target, key.get(), stored.get()) < 0) return -1;
            continue;
        }
        if (!require_node(existing.get()) || !require_node(value.get())) return -1;
        if (merge_into(existing.get(), value.get(), copier, guard) < 0) return -1;
    }
    return step;
}

}  // namespace

bool WalkGuard::enter(PyObject* node) {
    if (Py_EnterRecursiveCall(" while walking a KeyPathSet trie")) return false;
    const size_t depth = ++depth_;
    const int k = std::bit_width(depth) - 1;
    if (static_cast<size_t>(k) < std::size(anchors_)) {
        if (std::has_single_bit(depth)) {
            anchors_[k] = node;
        } else if (anchors_[k] == node) {
            leave();
            PyErr_SetString(PyExc_ValueError,
                            "KeyPathSet trie is cyclic: a node lies inside itself.");
            return false;
        }
    }
    return true;
}

void WalkGuard::leave() noexcept {
    --depth_;
    Py_LeaveRecursiveCall();
}

void raise_not_a_node(PyObject* value) {
    PyErr_Format(PyExc_TypeError, "'%T' object cannot be converted to 'dict'", value);
}

PyObject* marker() {
    return marker_cell.get_or_init([] { return py::Ref::steal(PyUnicode_InternFromString("$")); });
}

int is_marker(PyObject* key) {
    PyObject* m = marker();
    if (!m) return -1;
    if (key == m) return 1;
    if (PyUnicode_CheckExact(key))
        return PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '$';
    if (PyLong_CheckExact(key)) return 0;
    return PyObject_RichCompareBool(key, m, Py_EQ);
}

py::Ref new_node() { return py::Ref::steal(PyDict_New()); }

int add(PyObject* root, const PyKeys& keys, bool include_intermediate) {
    PyObject* m = marker();
    if (!m) return -1;
    py::Ref node = py::Ref::borrow(root);
    for (const py::Ref& key : keys) {
        PyObject* raw = nullptr;
        int found = PyDict_GetItemRef(node.get(), key.get(), &raw);
        if (found == 0) {
            // Insert-if-absent in one step, so concurrent adds through the
            // same node keep each other's branches.
            py::Ref fresh = new_node();
            if (!fresh) return -1;
            found = PyDict_SetDefaultRef(node.get(), key.get(), fresh.get(), &raw);
            if (found == 0 && include_intermediate && PyDict_SetItem(node.get(), m, Py_True) < 0) {
                py::Ref drop = py::Ref::steal(raw);
                return -1;
            }
        }
        if (found < 0) return -1;
        py::Ref child = py::Ref::steal(raw);
        if (!require_node(child.get())) return -1;
        node = std::move(child);
    }
    PyObject* previous = nullptr;
    const int had = PyDict_SetDefaultRef(node.get(), m, Py_True, &previous);
    py::Ref drop = py::Ref::steal(previous);
    if (had < 0) return -1;
    return had == 0 ? 1 : 0;
}

int remove(PyObject* root, const PyKeys& keys) {
    PyObject* m = marker();
    if (!m) return -1;
    std::vector<py::Ref> nodes;
    nodes.reserve(keys.size() + 1);
    nodes.push_back(py::Ref::borrow(root));
    for (const py::Ref& key : keys) {
        PyObject* raw = nullptr;
        const int found = PyDict_GetItemRef(nodes.back().get(), key.get(), &raw);
        if (found <= 0) return found;
        py::Ref child = py::Ref::steal(raw);
        if (!require_node(child.get())) return -1;
        nodes.push_back(std::move(child));
    }
    const int had = PyDict_Pop(nodes.back().get(), m, nullptr);
    if (had <= 0) return had;
    // Prune from the deepest node up: a node left empty leaves its parent.
    for (size_t i = keys.size(); i-- > 0;) {
        PyObject* raw = nullptr;
        const int found = PyDict_GetItemRef(nodes[i].get(), keys[i].get(), &raw);
        if (found < 0) return -1;
        py::Ref child = py::Ref::steal(raw);
        if (!child || !PyDict_Check(child.get()) || PyDict_GET_SIZE(child.get()) != 0) break;
        if (PyDict_Pop(nodes[i].get(), keys[i].get(), nullptr) < 0) return -1;
    }
    return 1;
}

int merge(PyObject* target, PyObject* source) {
    Copier copier;
    WalkGuard guard;
    return merge_into(target, source, copier, guard);
}

namespace {

// The two pruning walks behind difference and intersection: `Same` drops
// from `target` what `other` also holds, `Diff` drops what `other` lacks. A
// node left empty by the walk below it leaves its parent in both modes.
enum class Prune { Same, Diff };

[[nodiscard]] int prune_in(PyObject* target, PyObject* other, Prune mode, WalkGuard& guard) {
    WalkLevel level(guard, target);
    if (!level.ok()) return -1;
    std::vector<py::Ref> doomed;
    {
        py::DictCursor cursor(target);
        py::Ref key, value;
        int step;
        while ((step = cursor.next(key, value)) == 1) {
            PyObject* raw = nullptr;
            const int found = PyDict_GetItemRef(other, key.get(), &raw);
            if (found < 0) return -1;
            if (found == 0) {
                // A member or a whole branch the other lacks.
                if (mode == Prune::Diff) doomed.push_back(key);
                continue;
            }
            py::Ref theirs = py::Ref::steal(raw);
            const int mark = is_marker(key.get());
            if (mark < 0) return -1;
            if (mark) {
                // The path ends in both.
                if (mode == Prune::Same) doomed.push_back(key);
                continue;
            }
            PyObject* first = mode == Prune::Same ? theirs.get() : value.get();
            PyObject* second = mode == Prune::Same ? value.get() : theirs.get();
            if (!require_node(first) || !require_node(second)) return -1;
            if (prune_in(value.get(), theirs.get(), mode, guard) < 0) return -1;
            if (PyDict_GET_SIZE(value.get()) == 0) doomed.push_back(key);
        }
        if (step < 0) return -1;
    }
    return delete_keys(target, doomed);
}

}  // namespace

int remove_same(PyObject* target, PyObject* other) {
    WalkGuard guard;
    return prune_in(target, other, Prune::Same, guard);
}

int remove_diff(PyObject* target, PyObject* other) {
    WalkGuard guard;
    return prune_in(target, other, Prune::Diff, guard);
}

py::Ref deep_copy(PyObject* node) {
    Copier copier;
    return copier.copy(node);
}

py::Ref wrap(py::Ref root, const PyKeys& prefix) {
    py::Ref cur = std::move(root);
    for (size_t i = prefix.size(); i-- > 0;) {
        py::Ref outer = new_node();
        if (!outer || PyDict_SetItem(outer.get(), prefix[i].get(), cur.get()) < 0) return {};
        cur = std::move(outer);
    }
    return cur;
}

}  // namespace vesk::topology::trie
