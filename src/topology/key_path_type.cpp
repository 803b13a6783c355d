// The Python surface of KeyPath: the class, its slots and methods.
#include "py/args.hpp"
#include "py/class_attr.hpp"
#include "py/errors.hpp"
#include "py/function.hpp"
#include "py/heap_type.hpp"
#include "py/imported.hpp"
#include "py/module.hpp"
#include "py/tuple_args.hpp"
#include "topology/interned.hpp"
#include "topology/key_path_impl.hpp"
#include "topology/key_path_set.hpp"
#include "topology/path_text.hpp"
#include "topology/query.hpp"

#include <new>
#include <vector>

namespace vesk::topology {

namespace {

constexpr const char kSerializationKey[] = "vesk.topology.KeyPath";

py::TypeCell type_cell;

[[nodiscard]] KeyPathObject* as_path(PyObject* self) noexcept {
    return reinterpret_cast<KeyPathObject*>(self);
}

template <class Body>
[[nodiscard]] PyObject* guarded(Body&& body) noexcept {
    return py::call_guard<PyObject*>(nullptr, std::forward<Body>(body));
}

// A parent argument: omitted or None, or a KeyPath.
[[nodiscard]] bool check_parent(PyObject* parent) {
    if (!parent || parent == Py_None || is_key_path(parent)) return true;
    py::raise_arg_type("parent", "KeyPath or None", parent);
    return false;
}

// The UTF-8 text of the path's cached text.
[[nodiscard]] bool cached_utf8(PyObject* self, py::Ref& holder, std::string_view& text) {
    holder = cached_path(self);
    return holder && utf8_of(holder.get(), text);
}

// --- construction ---------------------------------------------------------

const py::Signature new_sig{"KeyPath", {"key_or_key_list", "parent"}, 2, 0};

PyObject* kp_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
    return guarded([&]() -> PyObject* {
        PyObject* a[2];
        std::vector<py::Ref> keep;
        if (!py::parse_tuple_args(new_sig, args, kwds, a, keep)) return nullptr;
        return new_key_path(a[0], a[1]).release();
    });
}

PyObject* kp_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* a[2];
    if (!py::parse_args(new_sig, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return new_key_path(a[0], a[1]).release();
}

// Freeing a path drops its keys, which may free a path held as a key, and so
// on: a chain of paths nested in keys would recurse once per level and
// overflow the stack. The interpreter's own guard only serves collected
// types, so past a fixed depth a path is queued instead, and the outermost
// free on this thread finishes the queue.
constexpr int kMaxFreeDepth = 100;
thread_local int free_depth = 0;
thread_local std::vector<PyObject*> free_later;

void free_path(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    destroy_key_path(as_path(self));
    type->tp_free(self);
    py::Ref type_ref = py::Ref::steal(reinterpret_cast<PyObject*>(type));
}

void kp_dealloc(PyObject* self) {
    if (free_depth >= kMaxFreeDepth) {
        try {
            free_later.push_back(self);
            return;
        } catch (const std::bad_alloc&) {
            // No room to queue it: free it here, one level deeper.
        }
    }
    ++free_depth;
    free_path(self);
    if (free_depth == 1) {
        while (!free_later.empty()) {
            PyObject* next = free_later.back();
            free_later.pop_back();
            free_path(next);
        }
    }
    --free_depth;
}

// --- text, hash, length ---------------------------------------------------

PyObject* kp_str(PyObject* self) { return cached_path(self).release(); }

Py_hash_t kp_hash(PyObject* self) {
    // The hash of the path text, so that a dict keyed by paths can be probed
    // with path texts.
    py::Ref text = cached_path(self);
    return text ? PyObject_Hash(text.get()) : -1;
}

Py_ssize_t kp_length(PyObject* self) { return depth_of(self); }

// --- comparison -----------------------------------------------------------

PyObject* compare_with_str(PyObject* self, PyObject* other, CmpOp op) {
    std::string_view theirs;
    if (!utf8_of(other, theirs)) return nullptr;
    py::Ref holder;
    std::string_view ours;
    if (!cached_utf8(self, holder, ours)) return nullptr;
    return py::boolean(apply_ord(op, ours, theirs));
}

PyObject* order_paths(PyObject* self, PyObject* other, CmpOp op) {
    const std::span<const Key> x = keys_of(self);
    const std::span<const Key> y = keys_of(other);
    const std::size_t common = x.size() < y.size() ? x.size() : y.size();
    for (std::size_t i = 0; i < common; ++i) {
        const int eq = wrapper_cmp(x[i], y[i], CmpOp::Eq);
        if (eq < 0) return nullptr;
        if (eq == 0) {
            const int r = wrapper_cmp(x[i], y[i], op);
            return r < 0 ? nullptr : py::boolean(r != 0);
        }
    }
    // Equal up to the shorter one: a proper prefix is smaller.
    switch (op) {
        case CmpOp::Lt: return py::boolean(x.size() < y.size());
        case CmpOp::Le: return py::boolean(x.size() <= y.size());
        case CmpOp::Gt: return py::boolean(x.size() > y.size());
        case CmpOp::Ge: return py::boolean(x.size() >= y.size());
        case CmpOp::Eq: break;
    }
    return py::boolean(x.size() == y.size());
}

PyObject* kp_richcompare(PyObject* self, PyObject* other, int py_op) {
    return guarded([&]() -> PyObject* {
        if (py_op == Py_EQ || py_op == Py_NE) {
            bool equal = false;
            if (PyUnicode_Check(other)) {
                py::Ref r = py::Ref::steal(compare_with_str(self, other, CmpOp::Eq));
                if (!r) return nullptr;
                equal = r.get() == Py_True;
            } else {
                switch (keypaths_eq(self, other)) {
                    case PathsEq::Error: return nullptr;
                    case PathsEq::Equal: equal = true; break;
                    case PathsEq::NotEqual:
                    case PathsEq::NotBoth: break;
                }
            }
            return py::boolean(py_op == Py_EQ ? equal : !equal);
        }
        static constexpr CmpOp ops[] = {CmpOp::Lt, CmpOp::Le, CmpOp::Eq,
                                        CmpOp::Eq, CmpOp::Gt, CmpOp::Ge};
        const CmpOp op = ops[py_op];
        if (PyUnicode_Check(other)) return compare_with_str(self, other, op);
        if (is_key_path(other)) return order_paths(self, other, op);
        py::Ref name = py::Ref::steal(PyType_GetName(Py_TYPE(other)));
        if (!name) return nullptr;
        PyErr_Format(PyExc_TypeError,
                     "Comparison is not supported between instances of 'KeyPath' and '%U'.",
                     name.get());
        return nullptr;
    });
}

// --- operators ------------------------------------------------------------

PyObject* kp_add(PyObject* self, PyObject* other) {
    // No reflected addition: with a path on the right only, the interpreter's
    // own rules apply.
    if (!is_key_path(self)) return py::not_implemented();
    return guarded([&]() -> PyObject* {
        if (other == Py_None) return py::new_ref(self);
        const std::span<const Key> base = keys_of(self);
        // KeyPath + KeyPathSet: the set's paths placed under this path.
        if (is_key_path_set(other)) return key_path_plus_set(self, other).release();
        if (PyUnicode_Check(other)) {
            std::string_view text;
            if (!utf8_of(other, text)) return nullptr;
            KeyVec keys(base.begin(), base.end());
            if (!scan(text, other, keys)) return nullptr;
            return make_key_path(std::move(keys)).release();
        }
        if (is_key_path(other)) return make_key_path(base, keys_of(other)).release();
        const Key key = Key::from_py(other);
        return make_key_path(base, std::span<const Key>(&key, 1)).release();
    });
}

PyObject* subtract_keys(std::span<const Key> left, std::span<const Key> right) {
    const std::size_t n = left.size() > right.size() ? left.size() : right.size();
    for (std::size_t i = 0; i < n; ++i) {
        const char* fault = nullptr;
        if (i == left.size()) {
            fault = "KeyPath subtraction failed: left path %U is an ancestor of right path %U.";
        } else if (i == right.size()) {
            return make_key_path(left.subspan(i)).release();
        } else {
            const int eq = py_eq(left[i], right[i]);
            if (eq < 0) return nullptr;
            if (eq == 0)
                fault = "KeyPath subtraction failed: left path %U and right path %U are in "
                        "different subtree.";
        }
        if (fault) {
            py::Ref l = render_to_str(left, true);
            py::Ref r = l ? render_to_str(right, true) : py::Ref();
            if (r) PyErr_Format(PyExc_ValueError, fault, l.get(), r.get());
            return nullptr;
        }
    }
    return make_key_path(std::span<const Key>()).release();
}

PyObject* kp_subtract(PyObject* self, PyObject* other) {
    if (!is_key_path(self)) return py::not_implemented();
    return guarded([&]() -> PyObject* {
        if (other == Py_None) return py::new_ref(self);
        const std::span<const Key> left = keys_of(self);
        if (PyUnicode_Check(other)) {
            std::string_view text;
            if (!utf8_of(other, text)) return nullptr;
            KeyVec right;
            if (!scan(text, other, right)) return nullptr;
            return subtract_keys(left, right);
        }
        if (PyLong_Check(other)) {
            const Key key = Key::from_py(other);
            return subtract_keys(left, std::span<const Key>(&key, 1));
        }
        if (is_key_path(other)) return subtract_keys(left, keys_of(other));
        py::Ref text = cached_path(self);
        if (!text) return nullptr;
        PyErr_Format(PyExc_TypeError, "Cannot subtract KeyPath(%U) by %R.", text.get(), other);
        return nullptr;
    });
}

// --- class methods --------------------------------------------------------

const py::Signature from_value_sig{"from_value", {"value"}, 1, 1};

PyObject* kp_from_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!py::parse_args(from_value_sig, args, nargs, kwnames, a)) return nullptr;
    return key_path_from_value(a[0]).release();
}

const py::Signature parse_sig{"parse", {"path_str", "parent"}, 2, 1};

PyObject* kp_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    if (!py::parse_args(parse_sig, args, nargs, kwnames, a) || !check_parent(a[1])) return nullptr;
    return parse_key_path(a[0], a[1]).release();
}

const py::Signature accept_sig{"__vk_accept__", {"value"}, 1, 1};

PyObject* kp_vk_accept(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!py::parse_args(accept_sig, args, nargs, kwnames, a)) return nullptr;
    if (!PyUnicode_Check(a[0])) return py::not_implemented();
    return parse_key_path(a[0], nullptr).release();
}

// Finds the one named-or-positional parameter of a method that also takes
// and ignores any other keyword.
[[nodiscard]] PyObject* sole_arg(const char* func, const char* name, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* found = nargs > 0 ? args[0] : nullptr;
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 1 positional argument (%zd given)", func,
                     nargs);
        return nullptr;
    }
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        if (!PyUnicode_EqualToUTF8(PyTuple_GET_ITEM(kwnames, i), name)) continue;
        if (found) {
            PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (1)",
                         func, name);
            return nullptr;
        }
        found = args[nargs + i];
    }
    if (!found)
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos 1)", func, name);
    return found;
}

PyObject* kp_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        PyObject* json = sole_arg("from_json", "json_value", args, nargs, kwnames);
        if (!json) return nullptr;
        if (!PyDict_Check(json)) {
            py::raise_arg_type("json_value", "dict", json);
            return nullptr;
        }
        PyObject* key = interned::value();
        if (!key) return nullptr;
        PyObject* raw = nullptr;
        const int found = PyDict_GetItemRef(json, key, &raw);
        py::Ref value = py::Ref::steal(raw);
        if (found < 0) return nullptr;
        if (found == 0) {
            PyErr_SetObject(PyExc_KeyError, key);
            return nullptr;
        }
        return parse_key_path(value.get(), nullptr).release();
    });
}

// --- methods ----------------------------------------------------------------

const py::Signature no_positional_sig{"to_json", {}, 0, 0};

PyObject* kp_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject*) {
    // Keywords are accepted and ignored; positional arguments are not.
    if (!py::parse_args(no_positional_sig, args, nargs, nullptr, nullptr)) return nullptr;
    py::Ref text = cached_path(self);
    py::Ref dict = py::Ref::steal(PyDict_New());
    py::Ref type_key = py::Ref::steal(PyUnicode_FromString(kSerializationKey));
    if (!text || !dict || !type_key || !interned::type_() || !interned::value() ||
        PyDict_SetItem(dict.get(), interned::type_(), type_key.get()) < 0 ||
        PyDict_SetItem(dict.get(), interned::value(), text.get()) < 0)
        return nullptr;
    return dict.release();
}

const py::Signature path_str_sig{"path_str", {"preserve_complex_keys"}, 1, 0};

PyObject* kp_path_str(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    bool preserve = true;
    if (!py::parse_args(path_str_sig, args, nargs, kwnames, a) ||
        (a[0] && !py::arg_bool("preserve_complex_keys", a[0], preserve)))
        return nullptr;
    return guarded([&] { return render_to_str(keys_of(self), preserve).release(); });
}

PyObject* kp_format(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return cached_path(self).release();
}

PyObject* kp_copy(PyObject* self, PyObject*) { return make_key_path(keys_of(self)).release(); }

const py::Signature deepcopy_sig{"__deepcopy__", {"memo"}, 1, 1};

PyObject* kp_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!py::parse_args(deepcopy_sig, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        PyObject* deepcopy = py::deepcopy_fn.get();
        if (!deepcopy) return nullptr;
        const std::span<const Key> src = keys_of(self);
        KeyVec keys;
        keys.reserve(src.size());
        for (const Key& k : src) {
            if (!k.is_other()) {
                keys.push_back(k);
                continue;
            }
            py::Ref copied = py::Ref::steal(
                PyObject_CallFunctionObjArgs(deepcopy, k.object(), a[0], nullptr));
            if (!copied) return nullptr;
            keys.push_back(Key::from_py(copied.get()));
        }
        return make_key_path(std::move(keys)).release();
    });
}

[[nodiscard]] py::Ref keys_list(PyObject* self) {
    PyObject* objects = key_objects(self);
    return py::Ref::steal(objects ? PySequence_List(objects) : nullptr);
}

PyObject* kp_reduce(PyObject* self, PyObject*) {
    // Pickles name the parent package's KeyPath, imported on every call.
    py::Ref package = py::Ref::steal(PyImport_ImportModule("vesk_core"));
    if (!package) return nullptr;
    py::Ref cls = py::Ref::steal(PyObject_GetAttrString(package.get(), "KeyPath"));
    if (!cls) return nullptr;
    py::Ref keys = keys_list(self);
    if (!keys) return nullptr;
    return Py_BuildValue("(O(O))", cls.get(), keys.get());
}

const py::Signature query_sig{"query", {"src", "use_inferred"}, 2, 1};

PyObject* kp_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[2];
    bool inferred = false;
    if (!py::parse_args(query_sig, args, nargs, kwnames, a) ||
        (a[1] && !py::arg_bool("use_inferred", a[1], inferred)))
        return nullptr;
    return guarded([&] { return query_path(self, a[0], inferred).release(); });
}

const py::Signature get_sig{"get", {"src", "default_value", "use_inferred"}, 3, 1};

PyObject* kp_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[3];
    bool inferred = false;
    if (!py::parse_args(get_sig, args, nargs, kwnames, a) ||
        (a[2] && !py::arg_bool("use_inferred", a[2], inferred)))
        return nullptr;
    return guarded([&]() -> PyObject* {
        py::Ref found = query_path(self, a[0], inferred);
        if (found) return found.release();
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
        return py::new_ref(a[1] ? a[1] : Py_None);
    });
}

const py::Signature exists_sig{"exists", {"src"}, 1, 1};

PyObject* kp_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* a[1];
    if (!py::parse_args(exists_sig, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        if (query_path(self, a[0], false)) return py::boolean(true);
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
        PyErr_Clear();
        return py::boolean(false);
    });
}

const py::Signature relative_sig{"is_relative_to", {"other"}, 1, 1};

PyObject* kp_is_relative_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    PyObject* a[1];
    if (!py::parse_args(relative_sig, args, nargs, kwnames, a)) return nullptr;
    return guarded([&]() -> PyObject* {
        py::Ref other = key_path_from_value(a[0]);
        if (!other) return nullptr;
        const std::span<const Key> mine = keys_of(self);
        const std::span<const Key> theirs = keys_of(other.get());
        if (theirs.size() > mine.size()) return py::boolean(false);
        for (std::size_t i = 0; i < theirs.size(); ++i) {
            const int eq = py_eq(theirs[i], mine[i]);
            if (eq <= 0) return eq < 0 ? nullptr : py::boolean(false);
        }
        return py::boolean(true);
    });
}

// --- getters ----------------------------------------------------------------

PyObject* get_keys(PyObject* self, void*) {
    return guarded([&] { return keys_list(self).release(); });
}

PyObject* get_key(PyObject* self, void*) {
    const std::span<const Key> keys = keys_of(self);
    if (keys.empty()) {
        PyErr_SetString(PyExc_KeyError, "Key of root KeyPath does not exist.");
        return nullptr;
    }
    return keys.back().to_py().release();
}

PyObject* get_is_root(PyObject* self, void*) { return py::boolean(depth_of(self) == 0); }

PyObject* get_depth(PyObject* self, void*) { return PyLong_FromSsize_t(depth_of(self)); }

PyObject* get_parent(PyObject* self, void*) {
    const std::span<const Key> keys = keys_of(self);
    if (keys.empty()) {
        PyErr_SetString(PyExc_KeyError, "Parent of a root KeyPath does not exist.");
        return nullptr;
    }
    return make_key_path(keys.first(keys.size() - 1)).release();
}

PyObject* get_path(PyObject* self, void*) { return cached_path(self).release(); }

// --- the type ---------------------------------------------------------------

PyMethodDef methods[] = {
    py::classmethod("from_value", kp_from_value,
                    "The key path of a KeyPath, a path text or an int."),
    py::classmethod("parse", kp_parse, "Parse a path text, optionally under a parent path."),
    py::classmethod("__vk_accept__", kp_vk_accept,
                    "Coerce a path text into a KeyPath; NotImplemented for anything else."),
    py::fastcall("to_json", kp_to_json),
    py::classmethod("from_json", kp_from_json),
    py::fastcall("path_str", kp_path_str),
    py::fastcall("format", kp_format),
    py::noargs("__copy__", kp_copy),
    py::fastcall("__deepcopy__", kp_deepcopy),
    py::noargs("__reduce__", kp_reduce),
    py::fastcall("query", kp_query),
    py::fastcall("get", kp_get),
    py::fastcall("exists", kp_exists),
    py::fastcall("is_relative_to", kp_is_relative_to),
    py::kMethodsEnd,
};

PyGetSetDef getset[] = {
    {"keys", get_keys, nullptr, "The keys, root first.", nullptr},
    {"key", get_key, nullptr, "The last key.", nullptr},
    {"is_root", get_is_root, nullptr, "Whether the path has no keys.", nullptr},
    {"depth", get_depth, nullptr, "The number of keys.", nullptr},
    {"parent", get_parent, nullptr, "The path without its last key.", nullptr},
    {"path", get_path, nullptr, "The path text.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("A path of keys from a tree root to a node.")},
    {Py_tp_new, reinterpret_cast<void*>(kp_new)},
    {Py_tp_vectorcall, reinterpret_cast<void*>(kp_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kp_dealloc)},
    {Py_tp_str, reinterpret_cast<void*>(kp_str)},
    {Py_tp_repr, reinterpret_cast<void*>(kp_str)},
    {Py_tp_hash, reinterpret_cast<void*>(kp_hash)},
    {Py_tp_richcompare, reinterpret_cast<void*>(kp_richcompare)},
    {Py_mp_length, reinterpret_cast<void*>(kp_length)},
    {Py_nb_add, reinterpret_cast<void*>(kp_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(kp_subtract)},
    {Py_tp_methods, methods},
    {Py_tp_getset, getset},
    {0, nullptr},
};

// Variable size: the keys follow the fixed part. No BASETYPE flag: final.
PyType_Spec spec = {
    "vesk_core._native.KeyPath",
    sizeof(KeyPathObject),
    sizeof(Key),
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    slots,
};

int finish_type(PyTypeObject* type) {
    if (py::set_class_attr(type, "__vesk_formattable__", py::Ref::borrow(Py_True)) < 0) return -1;
    return py::set_class_attr(type, "__serialization_key__",
                              py::Ref::steal(PyUnicode_FromString(kSerializationKey)));
}

}  // namespace

PyTypeObject* key_path_type() { return type_cell.get(spec, nullptr, finish_type); }

PyTypeObject* key_path_type_if_built() noexcept { return type_cell.peek(); }

int register_key_path(PyObject* module) { return py::add_type(module, key_path_type()); }

}  // namespace vesk::topology
