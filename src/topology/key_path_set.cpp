#include "topology/key_path_set.hpp"

#include "py/args.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "py/type.hpp"
#include "topology/key_path_set_format.hpp"
#include "topology/key_path_set_paths.hpp"

namespace vesk::topology {

namespace {

py::TypeCell TYPE;

// Every operation shares the set; only `rebase` holds it alone. Comparisons
// and `+` answer NotImplemented when a set is held alone.
using Reading = py::Shared<KeyPathSetState>;
using Comparing = py::Shared<KeyPathSetState, py::Refuse::NotImplemented>;

// The root of a held set. A set emptied by the garbage collector reads as a
// fresh empty trie.
[[nodiscard]] py::Ref root_of(const KeyPathSetState& s) {
    return s.root ? s.root : trie::new_node();
}

// A new set owning `root`.
[[nodiscard]] py::Ref make_set(py::Ref root) {
    if (!root) return {};
    PyTypeObject* type = key_path_set_type();
    if (!type) return {};
    py::Ref obj = py::alloc<KeyPathSetState>(type);
    if (obj) py::state<KeyPathSetState>(obj.get()).root = std::move(root);
    return obj;
}

[[nodiscard]] bool arg_set(PyObject* value) {
    if (is_key_path_set(value)) return true;
    py::raise_arg_type("other", "KeyPathSet", value);
    return false;
}

// Adds every item of a truthy iterable to `root`, a new trie no other thread
// reaches yet.
[[nodiscard]] bool add_all(PyObject* root, PyObject* paths, bool include_intermediate) {
    if (!paths || paths == Py_None) return true;
    const int truth = PyObject_IsTrue(paths);
    if (truth <= 0) return truth == 0;
    py::Ref iter = py::Ref::steal(PyObject_GetIter(paths));
    if (!iter) return false;
    PathKeys path;
    while (py::Ref item = py::Ref::steal(PyIter_Next(iter.get()))) {
        if (!storable_path_keys(item.get(), path)) return false;
        if (trie::add(root, path.keys, include_intermediate, trie::Reach::Private) < 0)
            return false;
    }
    return !PyErr_Occurred();
}

[[nodiscard]] py::Ref new_set_from(PyObject* paths, bool include_intermediate) {
    py::Ref root = trie::new_node();
    if (!root || !add_all(root.get(), paths, include_intermediate)) return {};
    return make_set(std::move(root));
}

// Runs `body(root)` on a held set.
template <class Body>
[[nodiscard]] PyObject* with_root(const KeyPathSetState& s, Body&& body) {
    py::Ref root = root_of(s);
    if (!root) return nullptr;
    return body(root.get());
}

// Runs `body(root, other_root)` on a held set and `other`, held here.
template <class Body>
[[nodiscard]] PyObject* with_roots(const KeyPathSetState& s, PyObject* other, Body&& body) {
    Reading theirs(other);
    if (!theirs) return nullptr;
    py::Ref root = root_of(s);
    py::Ref other_root = root_of(*theirs);
    if (!root || !other_root) return nullptr;
    return body(root.get(), other_root.get());
}

// An operation that changes the trie of a held set, counted while it runs.
class Writing {
public:
    explicit Writing(const KeyPathSetState& s) noexcept : writers_(s.writers) {
        writers_.fetch_add(1, std::memory_order_seq_cst);
    }
    ~Writing() { writers_.fetch_sub(1, std::memory_order_release); }
    Writing(const Writing&) = delete;
    Writing& operator=(const Writing&) = delete;

private:
    std::atomic<std::uint32_t>& writers_;
};

// Who else may change the trie of a held set while an operation that changes
// it works on it (its shared hold and its Writing are taken). The borrow
// flag leaves out the holds of threads lost at a fork, whose count of
// writers stays.
[[nodiscard]] trie::Reach reach_of(const KeyPathSetState& s, PyObject* set) {
    const bool others = s.writers.load(std::memory_order_seq_cst) > 1 &&
                        py::borrow_flag<KeyPathSetState>(set).shared_by_others();
    return others ? trie::Reach::Contended : trie::Reach::Shared;
}

// A set operation over tries: `target` changed by what `other` holds.
using TrieOp = int (*)(PyObject* target, PyObject* other, trie::Reach reach);

// Hands out the nodes of a held set's trie (see `KeyPathSetState::let_out`).
void let_nodes_out(const KeyPathSetState& s) noexcept {
    s.let_out.store(true, std::memory_order_release);
}

// The in-place form of a set operation: `Op` on the held set's own trie,
// counted as a writer while other threads may change it too. An other set
// that may hold nodes of this one (both have let nodes out) is read whole
// first, as key_path_set_trie.hpp says; the very same trie is left to the
// walk, which takes nothing from a node by itself. Every in-place operation
// with another set runs here.
template <TrieOp Op>
[[nodiscard]] bool change_by(const Reading& self, PyObject* other) {
    Writing writing(*self);
    const trie::Reach reach = reach_of(*self, self.object());
    Reading theirs(other);
    if (!theirs) return false;
    py::Ref root = root_of(*self);
    py::Ref other_root = root_of(*theirs);
    if (!root || !other_root) return false;
    if (other_root.get() != root.get() && self->let_out.load(std::memory_order_acquire) &&
        theirs->let_out.load(std::memory_order_acquire)) {
        other_root = trie::read_whole(other_root.get());
        if (!other_root) return false;
    }
    return Op(root.get(), other_root.get(), reach) >= 0;
}

// The copying form: `Op` on a deep copy of `root`, which no other thread
// reaches, wrapped in a new set.
template <TrieOp Op>
PyObject* copying(PyObject* root, PyObject* other) {
    py::Ref copy = trie::deep_copy(root);
    if (!copy || Op(copy.get(), other, trie::Reach::Private) < 0) return nullptr;
    return make_set(std::move(copy)).release();
}

// A method taking one other set, given by `Params`; in place, or on a copy.
template <py::Params<1>& Params, TrieOp Op, bool InPlace>
PyObject* other_method(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(Params, args, nargs, kwnames, a) || !arg_set(a[0])) return nullptr;
    if constexpr (InPlace) {
        return change_by<Op>(self, a[0]) ? py::none() : nullptr;
    } else {
        return with_roots(*self, a[0], copying<Op>);
    }
}

// --- slots ------------------------------------------------------------------

py::Params kNewParams{"KeyPathSet", {"paths", "include_intermediate"}, 1, 0};

PyObject* construct(const py::Args<2>& a) {
    bool include = false;
    if (!py::opt_bool("include_intermediate", a[1], false, include)) return nullptr;
    return new_set_from(a[0], include).release();
}

PyObject* kps_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
    py::TupleArgs<2> a;
    if (!py::parse(kNewParams, args, kwds, a)) return nullptr;
    return construct(a);
}

PyObject* kps_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kNewParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(a);
}

int kps_contains(const Reading& self, PyObject* value) {
    PyObject* r = with_root(*self, [&](PyObject* root) -> PyObject* {
        py::Ref node;
        bool keys_seen = false;
        const int found = find_node(root, value, node, keys_seen);
        if (found < 0) return nullptr;
        if (!found) return py::boolean(false);
        PyObject* m;
        if (!trie::marker(m)) return nullptr;
        const int has = PyDict_Contains(node.get(), m);
        return has < 0 ? nullptr : py::boolean(has);
    });
    py::Ref result = py::Ref::steal(r);
    if (!result) return -1;
    return result.get() == Py_True;
}

int kps_bool(const Reading& self) {
    return self->root && PyDict_GET_SIZE(self->root.get()) != 0;
}

PyObject* kps_iter(const Reading& self) {
    py::Ref paths = py::Ref::steal(with_root(*self, [](PyObject* root) {
        return collect_paths(root).release();
    }));
    if (!paths) return nullptr;
    return PyObject_GetIter(paths.get());
}

// Either operand may be the set whose slot runs: both are checked and held.
PyObject* kps_add_op(PyObject* left, PyObject* right) {
    if (!is_key_path_set(left) || !is_key_path_set(right)) return py::not_implemented();
    Comparing held(left);
    Comparing held_right(right);
    if (!held || !held_right) return py::not_implemented();
    py::Ref root = root_of(*held);
    py::Ref other = root_of(*held_right);
    if (!root || !other) return nullptr;
    return copying<trie::merge>(root.get(), other.get());
}

PyObject* kps_richcompare(const Comparing& self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    if (!is_key_path_set(other)) return py::boolean(op == Py_NE);
    Comparing theirs(other);
    if (!theirs) return theirs.refusal();
    py::Ref a = root_of(*self);
    py::Ref b = root_of(*theirs);
    if (!a || !b) return nullptr;
    const int eq = PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
    if (eq < 0) return nullptr;
    return py::boolean(op == Py_EQ ? eq : !eq);
}

// --- methods ----------------------------------------------------------------

PyObject* kps_trie(const Reading& self) {
    let_nodes_out(*self);
    return with_root(*self, [](PyObject* root) { return py::new_ref(root); });
}

PyObject* kps_add(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames) {
    static py::Params kParams{"add", {"path", "include_intermediate"}, 2, 1};
    py::Args<2> a;
    bool include = false;
    if (!py::parse(kParams, args, nargs, kwnames, a) ||
        !py::opt_bool("include_intermediate", a[1], false, include))
        return nullptr;
    Writing writing(*self);
    return with_root(*self, [&](PyObject* root) -> PyObject* {
        PathKeys path;
        if (!storable_path_keys(a[0], path)) return nullptr;
        const int added = trie::add(root, path.keys, include, trie::Reach::Shared);
        return added < 0 ? nullptr : py::boolean(added);
    });
}

PyObject* kps_remove(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static py::Params kParams{"remove", {"path"}, 1, 1};
    py::Args<1> a;
    if (!py::parse(kParams, args, nargs, kwnames, a)) return nullptr;
    Writing writing(*self);
    return with_root(*self, [&](PyObject* root) -> PyObject* {
        PathKeys path;
        if (!path_keys(a[0], path)) return nullptr;
        if (path.marker_key) return py::boolean(false);
        const int removed = trie::remove(root, path.keys);
        return removed < 0 ? nullptr : py::boolean(removed);
    });
}

py::Params kHasPrefixParams{"has_prefix", {"root_path"}, 1, 1};

PyObject* kps_has_prefix(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kHasPrefixParams, args, nargs, kwnames, a)) return nullptr;
    return with_root(*self, [&](PyObject* root) -> PyObject* {
        py::Ref node;
        bool keys_seen = false;
        const int found = find_node(root, a[0], node, keys_seen);
        return found < 0 ? nullptr : py::boolean(found);
    });
}

// The path is converted before the set is held: the conversion may run
// Python code.
PyObject* kps_rebase(py::Scoped<KeyPathSetState> self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    static py::Params kParams{"rebase", {"root_path"}, 1, 1};
    py::Args<1> a;
    if (!py::parse(kParams, args, nargs, kwnames, a)) return nullptr;
    PathKeys prefix;
    if (!storable_path_keys(a[0], prefix)) return nullptr;
    auto held = self.exclusive();
    if (!held) return nullptr;
    if (prefix.keys.empty()) return py::none();
    py::Ref root = root_of(*held);
    if (!root) return nullptr;
    py::Ref rebased = trie::wrap(std::move(root), prefix.keys);
    if (!rebased) return nullptr;
    held->root = std::move(rebased);
    return py::none();
}

PyObject* kps_clear_method(const Reading& self) {
    Writing writing(*self);
    const trie::Reach reach = reach_of(*self, self.object());
    return with_root(*self, [&](PyObject* root) {
        return trie::clear(root, reach) < 0 ? nullptr : py::none();
    });
}

PyObject* kps_copy(const Reading& self) {
    return with_root(*self, [](PyObject* root) {
        return make_set(trie::deep_copy(root)).release();
    });
}

PyObject* kps_deepcopy(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static py::Params kParams{"__deepcopy__", {"memo"}, 1, 1};
    py::Args<1> a;
    if (!py::parse(kParams, args, nargs, kwnames, a)) return nullptr;
    return kps_copy(self);
}

py::Params kUpdateParams{"update", {"other"}, 1, 1};
constexpr auto kps_update = other_method<kUpdateParams, trie::merge, true>;

PyObject* kps_union(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames) {
    static py::Params kParams{"union", {"other", "copy"}, 2, 1};
    py::Args<2> a;
    bool copy = false;
    if (!py::parse(kParams, args, nargs, kwnames, a) || !arg_set(a[0]) ||
        !py::opt_bool("copy", a[1], false, copy))
        return nullptr;
    if (!copy) return change_by<trie::merge>(self, a[0]) ? py::new_ref(self.object()) : nullptr;
    return with_roots(*self, a[0], copying<trie::merge>);
}

py::Params kDifferenceUpdateParams{"difference_update", {"other"}, 1, 1};
constexpr auto kps_difference_update =
    other_method<kDifferenceUpdateParams, trie::remove_same, true>;
py::Params kDifferenceParams{"difference", {"other"}, 1, 1};
constexpr auto kps_difference =
    other_method<kDifferenceParams, trie::remove_same, false>;
py::Params kIntersectionUpdateParams{"intersection_update", {"other"}, 1, 1};
constexpr auto kps_intersection_update =
    other_method<kIntersectionUpdateParams, trie::remove_diff, true>;
py::Params kIntersectionParams{"intersection", {"other"}, 1, 1};
constexpr auto kps_intersection =
    other_method<kIntersectionParams, trie::remove_diff, false>;

PyObject* kps_subtree(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    static py::Params kParams{"subtree", {"root_path"}, 1, 1};
    py::Args<1> a;
    if (!py::parse(kParams, args, nargs, kwnames, a)) return nullptr;
    return with_root(*self, [&](PyObject* root) -> PyObject* {
        py::Ref node;
        bool keys_seen = false;
        const int found = find_node(root, a[0], node, keys_seen);
        if (found < 0) return nullptr;
        if (!keys_seen) return py::new_ref(self.object());
        if (!found) return py::none();
        // The new set shares the node: changes through either are seen by both.
        py::Ref view = make_set(std::move(node));
        if (!view) return nullptr;
        let_nodes_out(*self);
        let_nodes_out(py::state<KeyPathSetState>(view.get()));
        return view.release();
    });
}

PyObject* kps_format(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
    return with_root(*self, [&](PyObject* root) {
        return format_key_path_set(root, args + nargs, kwnames).release();
    });
}

PyObject* kps_str(const Reading& self) {
    return with_root(*self, [](PyObject* root) {
        return format_key_path_set_verbose(root).release();
    });
}

PyObject* kps_repr(const Reading& self) {
    return with_root(*self, [](PyObject* root) {
        return format_key_path_set(root, nullptr, nullptr).release();
    });
}

PyObject* kps_from_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static py::Params kParams{"from_value", {"value", "include_intermediate"}, 2, 1};
    py::Args<2> a;
    bool include = false;
    if (!py::parse(kParams, args, nargs, kwnames, a) ||
        !py::opt_bool("include_intermediate", a[1], false, include))
        return nullptr;
    PyObject* value = a[0];
    if (is_key_path_set(value)) return py::new_ref(value);
    if (!PyList_Check(value) && !PyTuple_Check(value) && !PySet_Check(value)) {
        PyErr_Format(PyExc_ValueError,
                     "Cannot convert %R to KeyPathSet. Expected a list, set, tuple, or KeyPathSet.",
                     value);
        return nullptr;
    }
    return new_set_from(value, include).release();
}

PyMethodDef methods[] = {
    py::method<kps_add>("add"),
    py::method<kps_remove>("remove"),
    py::method<kps_has_prefix>("has_prefix"),
    py::method<kps_rebase>("rebase"),
    py::method<kps_clear_method>("clear"),
    py::method<kps_copy>("copy"),
    py::method<kps_copy>("__copy__"),
    py::method<kps_deepcopy>("__deepcopy__"),
    py::method<kps_update>("update"),
    py::method<kps_union>("union"),
    py::method<kps_difference_update>("difference_update"),
    py::method<kps_difference>("difference"),
    py::method<kps_intersection_update>("intersection_update"),
    py::method<kps_intersection>("intersection"),
    py::method<kps_subtree>("subtree"),
    py::method<kps_format>("format"),
    py::class_method<kps_from_value>("from_value"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<kps_trie>("_trie", "The raw trie"),
    py::kGettersEnd,
};

void declare(py::TypeDef& t) {
    t.name("vesk_core._native.KeyPathSet")
        .doc("A trie-backed set of `KeyPath`s.")
        .state<KeyPathSetState>()
        .final_()
        .slots({
            py::slot<Py_tp_new, kps_new>(),
            py::slot<Py_sq_contains, kps_contains>(),
            py::slot<Py_nb_bool, kps_bool>(),
            py::slot<Py_tp_iter, kps_iter>(),
            py::slot<Py_tp_str, kps_str>(),
            py::slot<Py_tp_repr, kps_repr>(),
            py::slot<Py_nb_add, kps_add_op>(),
            py::slot<Py_tp_richcompare, kps_richcompare>(),
        })
        .vectorcall<kps_vectorcall>()
        .methods(methods)
        .getters(getters)
        .class_attr("__vesk_formattable__", Py_True);
}

}  // namespace

PyTypeObject* key_path_set_type() { return TYPE.get(declare); }

bool is_key_path_set(PyObject* obj) noexcept {
    PyTypeObject* type = TYPE.peek();
    return type && Py_TYPE(obj) == type;
}

py::Ref key_path_plus_set(PyObject* path, PyObject* set) {
    PathKeys prefix;
    if (!storable_path_keys(path, prefix)) return {};
    Reading held(set);
    if (!held) return {};
    py::Ref root = root_of(*held);
    if (!root) return {};
    py::Ref copy = trie::deep_copy(root.get());
    if (!copy) return {};
    return make_set(trie::wrap(std::move(copy), prefix.keys));
}

int register_key_path_set(PyObject* module) {
    return py::add_type(module, key_path_set_type());
}

}  // namespace vesk::topology
