#include "topology/key_path_set_trie.hpp"

#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"

#include <bit>
#include <iterator>

namespace vesk::topology::trie {

namespace {

// How often an insertion is made again when a concurrent removal pruned a
// node of its path before the insertion could be seen.
constexpr int kMaxAttempts = 100;

[[nodiscard]] bool require_node(PyObject* value) {
    if (PyDict_Check(value)) return true;
    raise_not_a_node(value);
    return false;
}

// A key collected for deletion; `emptied` is the child node the walk left
// empty, which goes only if it still is empty and still held there.
struct Doomed {
    py::Ref key;
    py::Ref emptied;
};

// Deletes the collected keys; a key already gone (another holder of a shared
// node pruned it meanwhile) is no error.
[[nodiscard]] int delete_keys(PyObject* node, const std::vector<Doomed>& doomed) {
    for (const Doomed& d : doomed) {
        const int done = d.emptied ? prune_child(node, d.key.get(), d.emptied.get())
                                   : PyDict_Pop(node, d.key.get(), nullptr);
        if (done < 0) return -1;
    }
    return 0;
}

struct Copier {
    WalkGuard guard;

    [[nodiscard]] py::Ref copy_key(PyObject* key) {
        if (PyUnicode_Check(key) || PyLong_Check(key)) return py::Ref::borrow(key);
        // One argument, passed as is: a tuple key is one key, not an
        // argument list.
        return py::call_imported<"copy", "deepcopy">(key);
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
                             WalkGuard& guard);
[[nodiscard]] int drain_into(PyObject* target, PyObject* stranded, Copier& copier,
                             WalkGuard& guard);

// Merges the source's branch `value` under `key` into `target`. When the
// target's node there is pruned by a concurrent removal while the merge
// fills it, only what is left in that node moves to whatever `target` holds
// now. Pruning takes only empty nodes: what the node held when it went was
// taken out by removals that found those paths members and said so, and
// merging the source again would bring them back. What is left was stored
// after the prune, by this merge or another write, and is reachable nowhere.
// With `draining`, `value` is such a detached node itself, emptied as it is
// moved.
[[nodiscard]] int merge_branch(PyObject* target, PyObject* key, PyObject* value, Copier& copier,
                               WalkGuard& guard, bool draining) {
    py::Ref from = py::Ref::borrow(value);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        // Nothing stranded: no node is made for it. An insertion that fills
        // the detached node later finds it detached and stores again.
        if (draining && PyDict_Check(from.get()) && PyDict_GET_SIZE(from.get()) == 0) return 0;
        PyObject* raw = nullptr;
        int found = PyDict_GetItemRef(target, key, &raw);
        py::Ref existing = py::Ref::steal(raw);
        if (found < 0) return -1;
        if (!found) {
            // A new branch; a node another thread made meanwhile is merged
            // into instead. A detached node moves entry by entry into a new
            // one, never whole: an insertion still filling it then finds its
            // entry either moved or still there to store again.
            py::Ref stored = draining                    ? new_node()
                             : PyDict_Check(from.get()) ? copier.copy(from.get())
                                                        : from;
            if (!stored) return -1;
            found = PyDict_SetDefaultRef(target, key, stored.get(), &raw);
            existing = py::Ref::steal(raw);
            if (found < 0) return -1;
            if (found == 0 && !draining) return 0;
        }
        if (!require_node(existing.get()) || !require_node(from.get())) return -1;
        // A node a prune put back (prune_child) is live again.
        if (draining && existing.get() == from.get()) return 0;
        const int merged = draining ? drain_into(existing.get(), from.get(), copier, guard)
                                    : merge_into(existing.get(), from.get(), copier, guard);
        if (merged < 0) return -1;
        found = PyDict_GetItemRef(target, key, &raw);
        py::Ref held = py::Ref::steal(raw);
        if (found < 0) return -1;
        if (held.get() == existing.get()) return 0;
        from = std::move(existing);
        draining = true;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "KeyPathSet changed during update: its nodes were pruned by concurrent removals");
    return -1;
}

// Moves what a detached node holds into `target`, each entry taken out
// before it is stored so that it moves once, whichever thread moves it.
int drain_into(PyObject* target, PyObject* stranded, Copier& copier, WalkGuard& guard) {
    WalkLevel level(guard, stranded);
    if (!level.ok()) return -1;
    py::Ref keys = py::Ref::steal(PyDict_Keys(stranded));
    if (!keys) return -1;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        PyObject* raw = nullptr;
        const int taken = PyDict_Pop(stranded, key, &raw);
        py::Ref value = py::Ref::steal(raw);
        if (taken < 0) return -1;
        if (!taken) continue;
        const int mark = is_marker(key);
        if (mark < 0) return -1;
        const int moved = mark ? PyDict_SetItem(target, key, value.get())
                               : merge_branch(target, key, value.get(), copier, guard, true);
        if (moved < 0) return -1;
    }
    return 0;
}

int merge_into(PyObject* target, PyObject* source, Copier& copier, WalkGuard& guard) {
    WalkLevel level(guard, source);
    if (!level.ok()) return -1;
    py::DictCursor cursor(source);
    py::Ref key, value;
    int step;
    while ((step = cursor.next(key, value)) == 1) {
        const int mark = is_marker(key.get());
        if (mark < 0) return -1;
        if (mark) {
            // Overwrites the target's own marker.
            py::Ref stored = PyDict_Check(value.get()) ? copier.copy(value.get()) : value;
            if (!stored || PyDict_SetItem(target, key.get(), stored.get()) < 0) return -1;
            continue;
        }
        if (merge_branch(target, key.get(), value.get(), copier, guard, false) < 0) return -1;
    }
    return step;
}

}  // namespace

bool WalkGuard::enter(PyObject* node) {
    // A trie built by user code may be huge, or a DAG whose shared nodes are
    // walked again and again: let Ctrl-C and other signal handlers stop it.
    if ((++visited_ & (kSignalCheckEvery - 1)) == 0 && PyErr_CheckSignals() < 0) return false;
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

bool marker(PyObject*& out) { return py::intern<"$">(out); }

int is_marker(PyObject* key) {
    PyObject* m;
    if (!marker(m)) return -1;
    if (key == m) return 1;
    if (PyUnicode_CheckExact(key))
        return PyUnicode_GET_LENGTH(key) == 1 && PyUnicode_READ_CHAR(key, 0) == '$';
    if (PyLong_CheckExact(key)) return 0;
    return PyObject_RichCompareBool(key, m, Py_EQ);
}

py::Ref new_node() { return py::Ref::steal(PyDict_New()); }

namespace {

// One insertion along `keys`, creating the missing nodes; `chain` receives
// the nodes from the root down. 1 when the marker was newly set, 0 when it
// was there, -1 on error.
[[nodiscard]] int add_once(PyObject* root, const PyKeys& keys, bool include_intermediate,
                           PyObject* m, std::vector<py::Ref>& chain) {
    chain.clear();
    chain.push_back(py::Ref::borrow(root));
    for (const py::Ref& key : keys) {
        PyObject* node = chain.back().get();
        PyObject* raw = nullptr;
        int found = PyDict_GetItemRef(node, key.get(), &raw);
        if (found == 0) {
            // Insert-if-absent in one step, so concurrent adds through the
            // same node keep each other's branches.
            py::Ref fresh = new_node();
            if (!fresh) return -1;
            found = PyDict_SetDefaultRef(node, key.get(), fresh.get(), &raw);
            if (found == 0 && include_intermediate && PyDict_SetItem(node, m, Py_True) < 0) {
                py::Ref drop = py::Ref::steal(raw);
                return -1;
            }
        }
        if (found < 0) return -1;
        py::Ref child = py::Ref::steal(raw);
        if (!require_node(child.get())) return -1;
        chain.push_back(std::move(child));
    }
    PyObject* previous = nullptr;
    const int had = PyDict_SetDefaultRef(chain.back().get(), m, Py_True, &previous);
    py::Ref drop = py::Ref::steal(previous);
    if (had < 0) return -1;
    return had == 0 ? 1 : 0;
}

// Whether every node of `chain` is still the one its parent holds. A node is
// only ever detached once (pruning never puts it back), so when every link
// holds now, each held from the moment the insertion used it, and the
// inserted marker was reachable from the root at the time of the first check.
// 1 when attached, 0 when not, -1 on error.
[[nodiscard]] int still_attached(const std::vector<py::Ref>& chain, const PyKeys& keys) {
    for (std::size_t i = 0; i < keys.size(); ++i) {
        PyObject* raw = nullptr;
        const int found = PyDict_GetItemRef(chain[i].get(), keys[i].get(), &raw);
        py::Ref held = py::Ref::steal(raw);
        if (found < 0) return -1;
        if (held.get() != chain[i + 1].get()) return 0;
    }
    return 1;
}

}  // namespace

int prune_child(PyObject* parent, PyObject* key, PyObject* child) {
    // Both locks at once: an insertion into `child` takes its lock, so it
    // either lands first (the node is kept) or finds it detached and retries.
    // The identity test keeps a node that replaced `child` meanwhile. Keys
    // are str or int in practice; the hash and equality of a key of a user
    // class run here as they would under the dict's own lock.
    py::CriticalSection2 guard(parent, child);
    if (!PyDict_Check(child) || PyDict_GET_SIZE(child) != 0) return 0;
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(parent, key, &raw);
    py::Ref held = py::Ref::steal(raw);
    if (found <= 0 || held.get() != child) return found < 0 ? -1 : 0;
    if (PyDict_DelItem(parent, key) < 0) return -1;
    if (PyDict_GET_SIZE(child) == 0) return 1;
    // Filled by code that hashing a user key ran in this very thread: put
    // it back.
    PyObject* previous = nullptr;
    const int restored = PyDict_SetDefaultRef(parent, key, child, &previous);
    py::Ref drop = py::Ref::steal(previous);
    return restored < 0 ? -1 : 0;
}

int add(PyObject* root, const PyKeys& keys, bool include_intermediate) {
    PyObject* m;
    if (!marker(m)) return -1;
    std::vector<py::Ref> chain;
    chain.reserve(keys.size() + 1);
    // Set once this add takes over a stranded marker that another one stored
    // (below): that one reports the path as added, this one found it there.
    bool found_member = false;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const int added = add_once(root, keys, include_intermediate, m, chain);
        if (added < 0) return -1;
        const int attached = keys.empty() ? 1 : still_attached(chain, keys);
        if (attached < 0) return -1;
        if (attached) return found_member ? 0 : added;
        // A node of the path was pruned. Pruning takes only empty nodes, so
        // a marker stored while the path was reachable keeps every node of
        // it attached until a removal takes that marker out: a marker still
        // in the detached node was stored after the prune, into a node no
        // longer reachable, and is taken back (by one thread only) to be
        // stored again. A marker gone was removed by a removal that found
        // the path a member and said so; adding it again would undo it.
        const int stranded = PyDict_Pop(chain.back().get(), m, nullptr);
        if (stranded < 0) return -1;
        if (!stranded) return found_member ? 0 : added;
        found_member = found_member || !added;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "KeyPathSet changed during add: its path was pruned by concurrent removals");
    return -1;
}

int remove(PyObject* root, const PyKeys& keys) {
    PyObject* m;
    if (!marker(m)) return -1;
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
    for (std::size_t i = keys.size(); i-- > 0;) {
        const int pruned = prune_child(nodes[i].get(), keys[i].get(), nodes[i + 1].get());
        if (pruned < 0) return -1;
        if (!pruned) break;
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
    std::vector<Doomed> doomed;
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
                if (mode == Prune::Diff) doomed.push_back({key, {}});
                continue;
            }
            py::Ref theirs = py::Ref::steal(raw);
            const int mark = is_marker(key.get());
            if (mark < 0) return -1;
            if (mark) {
                // The path ends in both.
                if (mode == Prune::Same) doomed.push_back({key, {}});
                continue;
            }
            PyObject* first = mode == Prune::Same ? theirs.get() : value.get();
            PyObject* second = mode == Prune::Same ? value.get() : theirs.get();
            if (!require_node(first) || !require_node(second)) return -1;
            if (prune_in(value.get(), theirs.get(), mode, guard) < 0) return -1;
            if (PyDict_GET_SIZE(value.get()) == 0) doomed.push_back({key, value});
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
