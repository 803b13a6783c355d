#include "topology/key_path_set.hpp"

#include "py/args.hpp"
#include "py/class_attr.hpp"
#include "py/errors.hpp"
#include "py/function.hpp"
#include "py/heap_type.hpp"
#include "py/module.hpp"
#include "py/tuple_args.hpp"
#include "topology/key_path_set_format.hpp"
#include "topology/key_path_set_paths.hpp"

#include <new>

namespace vesk::topology {

namespace {

py::TypeCell type_cell;

KeyPathSetObject* as_set(PyObject* self) noexcept {
    return reinterpret_cast<KeyPathSetObject*>(self);
}

// The root of a set whose borrow the caller holds. A set emptied by the
// garbage collector reads as a fresh empty trie.
[[nodiscard]] py::Ref root_of(PyObject* self) {
    PyObject* root = as_set(self)->root;
    return root ? py::Ref::borrow(root) : trie::new_node();
}

// A new set owning `root`.
[[nodiscard]] py::Ref make_set(py::Ref root) {
    if (!root) return {};
    PyTypeObject* type = key_path_set_type();
    if (!type) return {};
    py::Ref obj = py::Ref::steal(type->tp_alloc(type, 0));
    if (!obj) return {};
    KeyPathSetObject* set = as_set(obj.get());
    new (&set->borrow) py::BorrowFlag();
    set->root = root.release();
    return obj;
}

[[nodiscard]] bool arg_set(PyObject* value) {
    if (is_key_path_set(value)) return true;
    py::raise_arg_type("other", "KeyPathSet", value);
    return false;
}

[[nodiscard]] bool opt_bool(const char* name, PyObject* value, bool& out) {
    out = false;
    return !value || py::arg_bool(name, value, out);
}

// Adds every item of a truthy iterable to `root`.
[[nodiscard]] bool add_all(PyObject* root, PyObject* paths, bool include_intermediate) {
    if (!paths || paths == Py_None) return true;
    const int truth = PyObject_IsTrue(paths);
    if (truth <= 0) return truth == 0;
    py::Ref iter = py::Ref::steal(PyObject_GetIter(paths));
    if (!iter) return false;
    PathKeys path;
    while (py::Ref item = py::Ref::steal(PyIter_Next(iter.get()))) {
        if (!storable_path_keys(item.get(), path)) return false;
        if (trie::add(root, path.keys, include_intermediate) < 0) return false;
    }
    return !PyErr_Occurred();
}

[[nodiscard]] py::Ref new_set_from(PyObject* paths, bool include_intermediate) {
    py::Ref root = trie::new_node();
    if (!root || !add_all(root.get(), paths, include_intermediate)) return {};
    return make_set(std::move(root));
}

// Runs `body(root)` under a shared borrow of `self`.
template <class Body>
[[nodiscard]] PyObject* with_root(PyObject* self, Body&& body) {
    return py::call_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow held(as_set(self)->borrow);
        if (!held.acquire()) return nullptr;
        py::Ref root = root_of(self);
        if (!root) return nullptr;
        return body(root.get());
    });
}

// Runs `body(root, other_root)` under shared borrows of both sets.
template <class Body>
[[nodiscard]] PyObject* with_roots(PyObject* self, PyObject* other, Body&& body) {
    return py::call_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow held(as_set(self)->borrow);
        py::SharedBorrow held_other(as_set(other)->borrow);
        if (!held.acquire() || !held_other.acquire()) return nullptr;
        py::Ref root = root_of(self);
        py::Ref other_root = root_of(other);
        if (!root || !other_root) return nullptr;
        return body(root.get(), other_root.get());
    });
}

// A one-argument method taking another set.
#define VESK_OTHER_METHOD(fn, name, body)                                                   \
    PyObject* fn(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) { \
        static const py::Signature sig{name, {"other"}, 1, 1};                             \
        PyObject* a[1];                                                                     \
        if (!py::parse_args(sig, args, nargs, kwnames, a) || !arg_set(a[0])) return nullptr; \
        return with_roots(self, a[0], body);                                                \
    }

// The two forms of each set operation over tries: in place on the receiver
// (returning None), or on a deep copy of it, wrapped in a new set.
using TrieOp = int (*)(PyObject* target, PyObject* other);

template <TrieOp Op>
PyObject* in_place(PyObject* root, PyObject* other) {
    return Op(root, other) < 0 ? nullptr : py::none();
}

template <TrieOp Op>
PyObject* copying(PyObject* root, PyObject* other) {
    py::Ref copy = trie::deep_copy(root);
    if (!copy || Op(copy.get(), other) < 0) return nullptr;
    return make_set(std::move(copy)).release();
}

// --- slots ------------------------------------------------------------------

const py::Signature new_sig{"KeyPathSet", {"paths", "include_intermediate"}, 1, 0};

PyObject* construct(PyObject* const* a) {
    bool include = false;
    if (!opt_bool("include_intermediate", a[1], include)) return nullptr;
    return py::call_guard<PyObject*>(nullptr,
                                     [&] { return new_set_from(a[0], include).release(); });
}

PyObject* kps_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
    PyObject* a[2];
    std::vector<py::Ref> keep;
    if (!py::parse_tuple_args(new_sig, args, kwds, a, keep)) return nullptr;
    return construct(a);
}

PyObject* kps_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (!py::parse_args(new_sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(a);
}

int kps_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_set(self)->root);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int kps_clear(PyObject* self) {
    Py_CLEAR(as_set(self)->root);
    return 0;
}

void kps_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    (void)kps_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

int kps_contains(PyObject* self, PyObject* value) {
    PyObject* r = with_root(self, [&](PyObject* root) -> PyObject* {
        py::Ref node;
        bool keys_seen = false;
        const int found = find_node(root, value, node, keys_seen);
        if (found < 0) return nullptr;
        if (!found) return py::boolean(false);
        PyObject* m = trie::marker();
        if (!m) return nullptr;
        const int has = PyDict_Contains(node.get(), m);
        return has < 0 ? nullptr : py::boolean(has);
    });
    py::Ref result = py::Ref::steal(r);
    if (!result) return -1;
    return result.get() == Py_True;
}

int kps_bool(PyObject* self) {
    py::SharedBorrow held(as_set(self)->borrow);
    if (!held.acquire()) return -1;
    PyObject* root = as_set(self)->root;
    return root && PyDict_GET_SIZE(root) != 0;
}

PyObject* kps_iter(PyObject* self) {
    py::Ref paths = py::Ref::steal(with_root(self, [](PyObject* root) {
        return collect_paths(root).release();
    }));
    if (!paths) return nullptr;
    return PyObject_GetIter(paths.get());
}

PyObject* kps_add_op(PyObject* left, PyObject* right) {
    if (!is_key_path_set(left) || !is_key_path_set(right)) return py::not_implemented();
    return py::call_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow held(as_set(left)->borrow);
        py::SharedBorrow held_right(as_set(right)->borrow);
        if (!held.try_acquire() || !held_right.try_acquire()) return py::not_implemented();
        py::Ref root = root_of(left);
        py::Ref other = root_of(right);
        if (!root || !other) return nullptr;
        return copying<trie::merge>(root.get(), other.get());
    });
}

PyObject* kps_richcompare(PyObject* self, PyObject* other, int op) {
    if (op != Py_EQ && op != Py_NE) return py::not_implemented();
    if (!is_key_path_set(self) || !is_key_path_set(other)) return py::boolean(op == Py_NE);
    return py::call_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        py::SharedBorrow held(as_set(self)->borrow);
        py::SharedBorrow held_other(as_set(other)->borrow);
        if (!held.try_acquire() || !held_other.try_acquire()) return py::not_implemented();
        py::Ref a = root_of(self);
        py::Ref b = root_of(other);
        if (!a || !b) return nullptr;
        const int eq = PyObject_RichCompareBool(a.get(), b.get(), Py_EQ);
        if (eq < 0) return nullptr;
        return py::boolean(op == Py_EQ ? eq : !eq);
    });
}

// --- methods ----------------------------------------------------------------

PyObject* kps_trie(PyObject* self, void*) {
    return with_root(self, [](PyObject* root) { return py::new_ref(root); });
}

PyObject* kps_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"add", {"path", "include_intermediate"}, 2, 1};
    PyObject* a[2];
    bool include = false;
    if (!py::parse_args(sig, args, nargs, kwnames, a) ||
        !opt_bool("include_intermediate", a[1], include))
        return nullptr;
    return with_root(self, [&](PyObject* root) -> PyObject* {
        PathKeys path;
        if (!storable_path_keys(a[0], path)) return nullptr;
        const int added = trie::add(root, path.keys, include);
        return added < 0 ? nullptr : py::boolean(added);
    });
}

PyObject* kps_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"remove", {"path"}, 1, 1};
    PyObject* a[1];
    if (!py::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return with_root(self, [&](PyObject* root) -> PyObject* {
        PathKeys path;
        if (!path_keys(a[0], path)) return nullptr;
        if (path.marker_key) return py::boolean(false);
        const int removed = trie::remove(root, path.keys);
        return removed < 0 ? nullptr : py::boolean(removed);
    });
}

const py::Signature has_prefix_sig{"has_prefix", {"root_path"}, 1, 1};

PyObject* kps_has_prefix(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    PyObject* a[1];
    if (!py::parse_args(has_prefix_sig, args, nargs, kwnames, a)) return nullptr;
    return with_root(self, [&](PyObject* root) -> PyObject* {
        py::Ref node;
        bool keys_seen = false;
        const int found = find_node(root, a[0], node, keys_seen);
        return found < 0 ? nullptr : py::boolean(found);
    });
}

PyObject* kps_rebase(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"rebase", {"root_path"}, 1, 1};
    PyObject* a[1];
    if (!py::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return py::call_guard<PyObject*>(nullptr, [&]() -> PyObject* {
        PathKeys prefix;
        if (!storable_path_keys(a[0], prefix)) return nullptr;
        py::ExclusiveBorrow held(as_set(self)->borrow);
        if (!held.acquire()) return nullptr;
        if (prefix.keys.empty()) return py::none();
        py::Ref root = root_of(self);
        if (!root) return nullptr;
        py::Ref rebased = trie::wrap(std::move(root), prefix.keys);
        if (!rebased) return nullptr;
        PyObject* old = std::exchange(as_set(self)->root, rebased.release());
        py::Ref drop = py::Ref::steal(old);
        return py::none();
    });
}

PyObject* kps_clear_method(PyObject* self, PyObject*) {
    return with_root(self, [](PyObject* root) {
        PyDict_Clear(root);
        return py::none();
    });
}

PyObject* kps_copy(PyObject* self, PyObject*) {
    return with_root(self, [](PyObject* root) {
        return make_set(trie::deep_copy(root)).release();
    });
}

PyObject* kps_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    static const py::Signature sig{"__deepcopy__", {"memo"}, 1, 1};
    PyObject* a[1];
    if (!py::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return kps_copy(self, nullptr);
}

VESK_OTHER_METHOD(kps_update, "update", in_place<trie::merge>)

PyObject* kps_union(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"union", {"other", "copy"}, 2, 1};
    PyObject* a[2];
    bool copy = false;
    if (!py::parse_args(sig, args, nargs, kwnames, a) || !arg_set(a[0]) ||
        !opt_bool("copy", a[1], copy))
        return nullptr;
    return with_roots(self, a[0], [&](PyObject* root, PyObject* other) -> PyObject* {
        if (!copy) return trie::merge(root, other) < 0 ? nullptr : py::new_ref(self);
        return copying<trie::merge>(root, other);
    });
}

VESK_OTHER_METHOD(kps_difference_update, "difference_update", in_place<trie::remove_same>)
VESK_OTHER_METHOD(kps_difference, "difference", copying<trie::remove_same>)
VESK_OTHER_METHOD(kps_intersection_update, "intersection_update", in_place<trie::remove_diff>)
VESK_OTHER_METHOD(kps_intersection, "intersection", copying<trie::remove_diff>)

PyObject* kps_subtree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"subtree", {"root_path"}, 1, 1};
    PyObject* a[1];
    if (!py::parse_args(sig, args, nargs, kwnames, a)) return nullptr;
    return with_root(self, [&](PyObject* root) -> PyObject* {
        py::Ref node;
        bool keys_seen = false;
        const int found = find_node(root, a[0], node, keys_seen);
        if (found < 0) return nullptr;
        if (!keys_seen) return py::new_ref(self);
        if (!found) return py::none();
        // The new set shares the node: changes through either are seen by both.
        return make_set(std::move(node)).release();
    });
}

PyObject* kps_format(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return with_root(self, [&](PyObject* root) {
        return format_key_path_set(root, args + nargs, kwnames).release();
    });
}

PyObject* kps_str(PyObject* self) {
    return with_root(self, [](PyObject* root) {
        return format_key_path_set_verbose(root).release();
    });
}

PyObject* kps_repr(PyObject* self) {
    return with_root(self, [](PyObject* root) {
        return format_key_path_set(root, nullptr, nullptr).release();
    });
}

PyObject* kps_from_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const py::Signature sig{"from_value", {"value", "include_intermediate"}, 2, 1};
    PyObject* a[2];
    bool include = false;
    if (!py::parse_args(sig, args, nargs, kwnames, a) ||
        !opt_bool("include_intermediate", a[1], include))
        return nullptr;
    PyObject* value = a[0];
    if (is_key_path_set(value)) return py::new_ref(value);
    if (!PyList_Check(value) && !PyTuple_Check(value) && !PySet_Check(value)) {
        PyErr_Format(PyExc_ValueError,
                     "Cannot convert %R to KeyPathSet. Expected a list, set, tuple, or KeyPathSet.",
                     value);
        return nullptr;
    }
    return py::call_guard<PyObject*>(nullptr,
                                     [&] { return new_set_from(value, include).release(); });
}

PyMethodDef methods[] = {
    py::fastcall("add", kps_add),
    py::fastcall("remove", kps_remove),
    py::fastcall("has_prefix", kps_has_prefix),
    py::fastcall("rebase", kps_rebase),
    py::noargs("clear", kps_clear_method),
    py::noargs("copy", kps_copy),
    py::noargs("__copy__", kps_copy),
    py::fastcall("__deepcopy__", kps_deepcopy),
    py::fastcall("update", kps_update),
    py::fastcall("union", kps_union),
    py::fastcall("difference_update", kps_difference_update),
    py::fastcall("difference", kps_difference),
    py::fastcall("intersection_update", kps_intersection_update),
    py::fastcall("intersection", kps_intersection),
    py::fastcall("subtree", kps_subtree),
    py::fastcall("format", kps_format),
    py::classmethod("from_value", kps_from_value),
    py::kMethodsEnd,
};

PyGetSetDef getset[] = {
    {"_trie", kps_trie, nullptr, "The raw trie", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A trie-backed set of `KeyPath`s.")},
    {Py_tp_new, reinterpret_cast<void*>(kps_new)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(kps_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kps_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(kps_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(kps_clear)},
    {Py_sq_contains, reinterpret_cast<void*>(kps_contains)},
    {Py_nb_bool, reinterpret_cast<void*>(kps_bool)},
    {Py_tp_iter, reinterpret_cast<void*>(kps_iter)},
    {Py_tp_str, reinterpret_cast<void*>(kps_str)},
    {Py_tp_repr, reinterpret_cast<void*>(kps_repr)},
    {Py_nb_add, reinterpret_cast<void*>(kps_add_op)},
    {Py_tp_richcompare, reinterpret_cast<void*>(kps_richcompare)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "vesk_core._native.KeyPathSet",
    sizeof(KeyPathSetObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC,
    slots,
};

int finish_type(PyTypeObject* type) {
    return py::set_class_attr(type, "__vesk_formattable__", py::Ref::borrow(Py_True));
}

}  // namespace

PyTypeObject* key_path_set_type() { return type_cell.get(spec, nullptr, finish_type); }

bool is_key_path_set(PyObject* obj) noexcept {
    PyTypeObject* type = type_cell.peek();
    return type && Py_TYPE(obj) == type;
}

py::Ref key_path_plus_set(PyObject* path, PyObject* set) {
    PathKeys prefix;
    if (!storable_path_keys(path, prefix)) return {};
    py::SharedBorrow held(as_set(set)->borrow);
    if (!held.acquire()) return {};
    py::Ref root = root_of(set);
    if (!root) return {};
    py::Ref copy = trie::deep_copy(root.get());
    if (!copy) return {};
    return make_set(trie::wrap(std::move(copy), prefix.keys));
}

int register_key_path_set(PyObject* module) {
    return py::add_type(module, key_path_set_type());
}

}  // namespace vesk::topology
