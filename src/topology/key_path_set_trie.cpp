#include "topology/key_path_set_trie.hpp"

#include "py/critical_section.hpp"
#include "py/dict_snapshot.hpp"
#include "py/named.hpp"
#include "topology/key_path_set_links.hpp"

#include <bit>
#include <iterator>
#include <unordered_map>
#include <utility>

namespace vesk::topology::trie {

namespace {

// How often an insertion is made again when its marker went into a node
// detached meanwhile.
constexpr int kMaxAttempts = 100;

[[nodiscard]] bool require_node(PyObject* value) {
    if (PyDict_Check(value)) return true;
    raise_not_a_node(value);
    return false;
}

// A fresh node built from `node`'s entries as each sits when the walk
// reaches it: `fill(out, key, value)` stores what it makes of one (-1 on
// failure). Null with the error set, a cycle's included.
template <class Fill>
[[nodiscard]] py::Ref rebuilt(WalkGuard& guard, PyObject* node, Fill&& fill) {
    WalkLevel level(guard, node);
    if (!level.ok()) return {};
    py::Ref out = new_node();
    if (!out) return {};
    py::DictSnapshot entries(node);
    py::Ref key, value;
    int step;
    while ((step = entries.next(key, value)) == 1)
        if (fill(out.get(), key, value) < 0) return {};
    if (step < 0) return {};
    return out;
}

struct Copier {
    WalkGuard guard;

    // `key` itself where it is a str or an int, else a deep copy of it, held
    // by `held`.
    [[nodiscard]] static PyObject* copy_key(PyObject* key, py::Ref& held) {
        if (PyUnicode_Check(key) || PyLong_Check(key)) return key;
        // One argument, passed as is: a tuple key is one key, not an
        // argument list.
        held = py::call_imported<"copy", "deepcopy">(key);
        return held.get();
    }

    // A copy holds only nodes with a member below them. A node read empty
    // (one that another thread's removal emptied, or an add had yet to
    // fill, as the copy went down to it, or one that never held a member)
    // is left out with its key: kept, it would make `has_prefix`, equality
    // and truth of the copy, and of every set a merge stores it into, count
    // a branch no member lies in, for good.
    [[nodiscard]] py::Ref copy(PyObject* node) {
        return rebuilt(guard, node, [&](PyObject* out, const py::Ref& key, const py::Ref& value) {
            py::Ref copied_key;
            PyObject* new_key = copy_key(key.get(), copied_key);
            if (!new_key) return -1;
            if (!PyDict_Check(value.get())) return PyDict_SetItem(out, new_key, value.get());
            py::Ref child = copy(value.get());
            if (!child) return -1;
            if (PyDict_GET_SIZE(child.get()) == 0) {
                // The marker is known by its key alone, whatever it maps to.
                const int mark = is_marker(key.get());
                if (mark <= 0) return mark;
            }
            return PyDict_SetItem(out, new_key, child.get());
        });
    }
};

// One merge of a source trie into a target trie. On a shared target, each
// store of a new marker or branch is checked against the chain of target
// nodes the merge walked down, and taken back and stored again as an add
// would when one of them was detached meanwhile.
class Merger {
public:
    Merger(PyObject* target, Reach reach) : chain_(target), shared_(reach != Reach::Private) {}

    [[nodiscard]] int into(PyObject* target, PyObject* source) {
        // A node merged into itself gains nothing, wherever the merge falls
        // among other operations. Walked, it would store what it read back
        // after another thread's removal or clear took it.
        if (target == source) return 0;
        WalkLevel level(guard_, source);
        if (!level.ok()) return -1;
        py::DictSnapshot entries(source);
        py::Ref key, value;
        int step;
        while ((step = entries.next(key, value)) == 1) {
            const int mark = is_marker(key.get());
            if (mark < 0) return -1;
            const int merged = mark ? marker_into(target, key.get(), value.get())
                                    : branch_into(target, key.get(), value.get());
            if (merged < 0) return -1;
        }
        return step;
    }

private:
    // The source's marker (its value, a dict copied) stored in `target`,
    // over the target's own.
    [[nodiscard]] int marker_into(PyObject* target, PyObject* key, PyObject* value) {
        py::Ref stored = PyDict_Check(value) ? copier_.copy(value) : py::Ref::borrow(value);
        if (!stored) return -1;
        PyObject* raw = nullptr;
        const int had = PyDict_SetDefaultRef(target, key, stored.get(), &raw);
        py::Ref existing = py::Ref::steal(raw);
        if (had < 0) return -1;
        if (had) {
            return existing.get() == stored.get() ? 0
                                                  : PyDict_SetItem(target, key, stored.get());
        }
        if (!shared_) return 0;
        const int attached = chain_.attached();
        if (attached != 0) return attached < 0 ? -1 : 0;
        // Stored into a detached node: taken back, if still there, and
        // stored again as after the detach.
        const int taken = PyDict_Pop(target, key, nullptr);
        if (taken <= 0) return taken;
        PyKeys keys = chain_.keys();
        return add(chain_.root(), keys, false, Reach::Shared) < 0 ? -1 : 0;
    }

    // The source's branch `value` under `key` merged into `target`: stored
    // as a copy where the target has nothing there, else merged into the
    // target's node.
    [[nodiscard]] int branch_into(PyObject* target, PyObject* key, PyObject* value) {
        PyObject* raw = nullptr;
        int found = PyDict_GetItemRef(target, key, &raw);
        py::Ref existing = py::Ref::steal(raw);
        if (found < 0) return -1;
        if (!found) {
            // A node another thread made meanwhile is merged into instead.
            py::Ref stored = PyDict_Check(value) ? copier_.copy(value) : py::Ref::borrow(value);
            if (!stored) return -1;
            // A branch with no member adds nothing.
            if (stored.get() != value && PyDict_GET_SIZE(stored.get()) == 0) return 0;
            found = PyDict_SetDefaultRef(target, key, stored.get(), &raw);
            existing = py::Ref::steal(raw);
            if (found < 0) return -1;
            if (found == 0) return shared_ ? settle_branch(key, stored.get()) : 0;
        }
        if (!require_node(existing.get()) || !require_node(value)) return -1;
        chain_.push(key, existing.get());
        const int merged = into(existing.get(), value);
        chain_.pop();
        return merged;
    }

    // A copied branch stored under `key` in the chain's last node: if that
    // node was detached, the branch is taken back, if still there, and what
    // it holds is moved into the live trie. Gone, it was dropped whole with
    // its node by an operation that removed what it held.
    [[nodiscard]] int settle_branch(PyObject* key, PyObject* stored) {
        const int attached = chain_.attached();
        if (attached != 0 || !PyDict_Check(stored)) return attached < 0 ? -1 : 0;
        PyObject* raw = nullptr;
        const int taken = PyDict_Pop(chain_.last(), key, &raw);
        py::Ref back = py::Ref::steal(raw);
        if (taken <= 0) return taken;
        if (back.get() != stored) {
            // Another write's node, in a detached node: left to it.
            return PyDict_SetDefaultRef(chain_.last(), key, back.get(), nullptr) < 0 ? -1 : 0;
        }
        PyKeys keys = chain_.keys();
        keys.push_back(py::Ref::borrow(key));
        return restore_paths(chain_.root(), keys, stored, guard_);
    }

    Copier copier_;
    WalkGuard guard_;
    Chain chain_;
    bool shared_;
};

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

}  // namespace

int add(PyObject* root, const PyKeys& keys, bool include_intermediate, Reach reach) {
    PyObject* m;
    if (!marker(m)) return -1;
    std::vector<py::Ref> nodes;
    nodes.reserve(keys.size() + 1);
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        const int added = add_once(root, keys, include_intermediate, m, nodes);
        // Found: a member when found, whatever became of its node since.
        if (added <= 0 || reach == Reach::Private || keys.empty()) return added;
        const int linked = attached(nodes.data(), keys.data(), keys.size());
        if (linked != 0) return linked < 0 ? -1 : 1;
        // A node of the path was detached, before or after the marker went
        // in: the marker is taken back, if still there, and stored again as
        // after the detach. Gone, it was taken by a removal that found the
        // path a member and said so, or moved into the live trie.
        const int taken = PyDict_Pop(nodes.back().get(), m, nullptr);
        if (taken <= 0) return taken < 0 ? -1 : 1;
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
        const int pruned = detach_empty(nodes[i].get(), keys[i].get(), nodes[i + 1].get());
        if (pruned < 0) return -1;
        if (pruned == 0) break;
    }
    return 1;
}

int merge(PyObject* target, PyObject* source, Reach reach) {
    Merger merger(target, reach);
    return merger.into(target, source);
}

namespace {

// The two pruning walks behind difference and intersection: `Same` drops
// from `target` what `other` also holds, `Diff` drops what `other` lacks. A
// node left empty by the walk below it leaves its parent in both modes.
enum class Prune { Same, Diff };

// A key collected for deletion; `emptied` is the child node the walk left
// empty, which goes only if it still is empty and still held there.
struct Doomed {
    py::Ref key;
    py::Ref emptied;
};

class Pruner {
public:
    Pruner(Prune mode, Reach reach) : mode_(mode), reach_(reach) {}

    [[nodiscard]] int walk(PyObject* target, PyObject* other) {
        WalkLevel level(guard_, target);
        if (!level.ok()) return -1;
        // A node pruned by itself: what the lookups find is the node as it
        // is now, not an other set's paths. An entry gone since the snapshot,
        // or a branch replaced since, went with another thread's removal;
        // dropped by this walk, it would take what adds stored there after.
        const bool itself = target == other;
        std::vector<Doomed> doomed;
        {
            py::DictSnapshot entries(target);
            py::Ref key, value;
            int step;
            while ((step = entries.next(key, value)) == 1) {
                PyObject* raw = nullptr;
                const int found = PyDict_GetItemRef(other, key.get(), &raw);
                if (found < 0) return -1;
                if (found == 0) {
                    // A member or a whole branch the other lacks.
                    if (mode_ == Prune::Diff && !itself) doomed.push_back({key, {}});
                    continue;
                }
                py::Ref theirs = py::Ref::steal(raw);
                if (itself && theirs.get() != value.get()) continue;
                const int mark = is_marker(key.get());
                if (mark < 0) return -1;
                if (mark) {
                    // The path ends in both.
                    if (mode_ == Prune::Same) doomed.push_back({key, {}});
                    continue;
                }
                PyObject* first = mode_ == Prune::Same ? theirs.get() : value.get();
                PyObject* second = mode_ == Prune::Same ? value.get() : theirs.get();
                if (!require_node(first) || !require_node(second)) return -1;
                if (walk(value.get(), theirs.get()) < 0) return -1;
                if (PyDict_GET_SIZE(value.get()) == 0) doomed.push_back({key, value});
            }
            if (step < 0) return -1;
        }
        return delete_keys(target, doomed);
    }

private:
    // Deletes the collected keys of `node`. A marker or a branch the walk
    // decided to drop goes with whatever it holds by now (taken out of it
    // too, when contended); an emptied node only if still empty. A key
    // already gone (another operation deleted it meanwhile) is no error.
    [[nodiscard]] int delete_keys(PyObject* node, const std::vector<Doomed>& doomed) {
        for (const Doomed& d : doomed) {
            int done;
            if (!d.emptied) {
                PyObject* raw = nullptr;
                done = PyDict_Pop(node, d.key.get(), &raw);
                py::Ref dropped = py::Ref::steal(raw);
                if (done > 0 && reach_ == Reach::Contended && PyDict_Check(dropped.get()))
                    done = empty_dropped(dropped.get(), guard_);
            } else if (reach_ != Reach::Private) {
                done = detach_empty(node, d.key.get(), d.emptied.get());
            } else {
                done = PyDict_GET_SIZE(d.emptied.get()) == 0
                           ? PyDict_Pop(node, d.key.get(), nullptr)
                           : 0;
            }
            if (done < 0) return -1;
        }
        return 0;
    }

    WalkGuard guard_;
    Prune mode_;
    Reach reach_;
};

}  // namespace

int remove_same(PyObject* target, PyObject* other, Reach reach) {
    Pruner pruner(Prune::Same, reach);
    return pruner.walk(target, other);
}

int remove_diff(PyObject* target, PyObject* other, Reach reach) {
    Pruner pruner(Prune::Diff, reach);
    return pruner.walk(target, other);
}

int clear(PyObject* root, Reach reach) {
    if (reach != Reach::Contended) {
        PyDict_Clear(root);
        return 0;
    }
    py::Ref dropped;
    {
        // Every branch at once, as a dict's own clear; the copy keeps every
        // key and node alive until the section ends.
        py::CriticalSection guard(root);
        dropped = py::Ref::steal(PyDict_Copy(root));
        if (!dropped) return -1;
        PyDict_Clear(root);
    }
    WalkGuard guard;
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(dropped.get(), &pos, &key, &value)) {
        if (PyDict_Check(value) && empty_dropped(value, guard) < 0) return -1;
    }
    return 0;
}

namespace {

struct Reader {
    WalkGuard guard;
    // Each node read, held (its address is not reused meanwhile), with what
    // it was read as.
    std::unordered_map<PyObject*, std::pair<py::Ref, py::Ref>> seen;

    [[nodiscard]] py::Ref read(PyObject* node) {
        if (auto it = seen.find(node); it != seen.end()) return it->second.second;
        py::Ref out =
            rebuilt(guard, node, [&](PyObject* into, const py::Ref& key, const py::Ref& value) {
                // Anything but a node (the marker's value) is kept as it
                // is, for the walk to judge as it would have.
                py::Ref read_value = PyDict_Check(value.get()) ? read(value.get()) : value;
                return read_value ? PyDict_SetItem(into, key.get(), read_value.get()) : -1;
            });
        if (out) seen.try_emplace(node, py::Ref::borrow(node), out);
        return out;
    }
};

}  // namespace

py::Ref read_whole(PyObject* node) {
    Reader reader;
    return reader.read(node);
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
