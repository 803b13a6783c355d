// The Python surface of KeyPath: the class, its slots and methods.
#include "py/args.hpp"
#include "py/errors.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/module.hpp"
#include "py/type.hpp"
#include "topology/key_path_impl.hpp"
#include "topology/key_path_set.hpp"
#include "topology/path_text.hpp"
#include "topology/query.hpp"

#include <new>
#include <vector>

namespace vesk::topology {

namespace {

constexpr const char kSerializationKey[] = "vesk.topology.KeyPath";

py::TypeCell TYPE;

[[nodiscard]] KeyPathObject* as_path(PyObject* self) noexcept {
    return reinterpret_cast<KeyPathObject*>(self);
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

py::Params kNewParams{"KeyPath", {"key_or_key_list", "parent"}, 2, 0};

PyObject* kp_new(PyTypeObject*, PyObject* args, PyObject* kwds) {
    py::TupleArgs<2> a;
    if (!py::parse(kNewParams, args, kwds, a)) return nullptr;
    return new_key_path(a[0], a[1]).release();
}

PyObject* kp_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kNewParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
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
    py::release_instance_type(type);
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
}

// --- operators ------------------------------------------------------------

PyObject* kp_add(PyObject* self, PyObject* other) {
    // No reflected addition: with a path on the right only, the interpreter's
    // own rules apply.
    if (!is_key_path(self)) return py::not_implemented();
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
}

// --- class methods --------------------------------------------------------

py::Params kFromValueParams{"from_value", {"value"}, 1, 1};

PyObject* kp_from_value(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromValueParams, args, nargs, kwnames, a)) return nullptr;
    return key_path_from_value(a[0]).release();
}

py::Params kParseParams{"parse", {"path_str", "parent"}, 2, 1};

PyObject* kp_parse(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kParseParams, args, nargs, kwnames, a) || !check_parent(a[1])) return nullptr;
    return parse_key_path(a[0], a[1]).release();
}

py::Params kAcceptParams{"__vk_accept__", {"value"}, 1, 1};

PyObject* kp_vk_accept(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kAcceptParams, args, nargs, kwnames, a)) return nullptr;
    if (!PyUnicode_Check(a[0])) return py::not_implemented();
    return parse_key_path(a[0], nullptr).release();
}

// The value must be given; other keywords are taken and ignored.
py::Params kFromJsonParams{"from_json", {"json_value"}, 1, 1, py::Keywords::Ignore};

PyObject* kp_from_json(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* json = a[0];
    if (!PyDict_Check(json)) {
        py::raise_arg_type("json_value", "dict", json);
        return nullptr;
    }
    PyObject* key;
    if (!py::intern<"value">(key)) return nullptr;
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(json, key, &raw);
    py::Ref value = py::Ref::steal(raw);
    if (found < 0) return nullptr;
    if (found == 0) {
        PyErr_SetObject(PyExc_KeyError, key);
        return nullptr;
    }
    return parse_key_path(value.get(), nullptr).release();
}

// --- methods ----------------------------------------------------------------

// Keywords are accepted and ignored; positional arguments are not.
py::Params kToJsonParams{"to_json", py::Keywords::Ignore};

PyObject* kp_to_json(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<0> a;
    if (!py::parse(kToJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref text = cached_path(self);
    py::Ref dict = py::Ref::steal(PyDict_New());
    py::Ref type_key = py::Ref::steal(PyUnicode_FromString(kSerializationKey));
    PyObject* type_name;
    PyObject* value_name;
    if (!text || !dict || !type_key || !py::intern<"_type">(type_name) ||
        !py::intern<"value">(value_name) ||
        PyDict_SetItem(dict.get(), type_name, type_key.get()) < 0 ||
        PyDict_SetItem(dict.get(), value_name, text.get()) < 0)
        return nullptr;
    return dict.release();
}

py::Params kPathStrParams{"path_str", {"preserve_complex_keys"}, 1, 0};

PyObject* kp_path_str(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    bool preserve = true;
    if (!py::parse(kPathStrParams, args, nargs, kwnames, a) ||
        (a[0] && !py::arg_bool("preserve_complex_keys", a[0], preserve)))
        return nullptr;
    return render_to_str(keys_of(self), preserve).release();
}

PyObject* kp_format(PyObject* self, PyObject* const*, Py_ssize_t, PyObject*) {
    return cached_path(self).release();
}

PyObject* kp_copy(PyObject* self) { return make_key_path(keys_of(self)).release(); }

py::Params kDeepcopyParams{"__deepcopy__", {"memo"}, 1, 1};

PyObject* kp_deepcopy(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* deepcopy;
    if (!py::imported<"copy", "deepcopy">(deepcopy)) return nullptr;
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
}

[[nodiscard]] py::Ref keys_list(PyObject* self) {
    PyObject* objects = key_objects(self);
    return py::Ref::steal(objects ? PySequence_List(objects) : nullptr);
}

PyObject* kp_reduce(PyObject* self) {
    // Pickles name the parent package's KeyPath, imported on every call.
    py::Ref package = py::Ref::steal(PyImport_ImportModule("vesk_core"));
    if (!package) return nullptr;
    py::Ref cls = py::Ref::steal(PyObject_GetAttrString(package.get(), "KeyPath"));
    if (!cls) return nullptr;
    py::Ref keys = keys_list(self);
    if (!keys) return nullptr;
    return Py_BuildValue("(O(O))", cls.get(), keys.get());
}

py::Params kQueryParams{"query", {"src", "use_inferred"}, 2, 1};

PyObject* kp_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    bool inferred = false;
    if (!py::parse(kQueryParams, args, nargs, kwnames, a) ||
        (a[1] && !py::arg_bool("use_inferred", a[1], inferred)))
        return nullptr;
    return query_path(self, a[0], inferred).release();
}

py::Params kGetParams{"get", {"src", "default_value", "use_inferred"}, 3, 1};

PyObject* kp_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<3> a;
    bool inferred = false;
    if (!py::parse(kGetParams, args, nargs, kwnames, a) ||
        (a[2] && !py::arg_bool("use_inferred", a[2], inferred)))
        return nullptr;
    py::Ref found = query_path(self, a[0], inferred);
    if (found) return found.release();
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    return py::new_ref(a[1] ? a[1] : Py_None);
}

py::Params kExistsParams{"exists", {"src"}, 1, 1};

PyObject* kp_exists(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kExistsParams, args, nargs, kwnames, a)) return nullptr;
    if (query_path(self, a[0], false)) return py::boolean(true);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return nullptr;
    PyErr_Clear();
    return py::boolean(false);
}

py::Params kRelativeParams{"is_relative_to", {"other"}, 1, 1};

PyObject* kp_is_relative_to(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kRelativeParams, args, nargs, kwnames, a)) return nullptr;
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
}

// --- getters ----------------------------------------------------------------

PyObject* get_keys(PyObject* self) {
    return keys_list(self).release();
}

PyObject* get_key(PyObject* self) {
    const std::span<const Key> keys = keys_of(self);
    if (keys.empty()) {
        PyErr_SetString(PyExc_KeyError, "Key of root KeyPath does not exist.");
        return nullptr;
    }
    return keys.back().to_py().release();
}

PyObject* get_is_root(PyObject* self) { return py::boolean(depth_of(self) == 0); }

PyObject* get_depth(PyObject* self) { return PyLong_FromSsize_t(depth_of(self)); }

PyObject* get_parent(PyObject* self) {
    const std::span<const Key> keys = keys_of(self);
    if (keys.empty()) {
        PyErr_SetString(PyExc_KeyError, "Parent of a root KeyPath does not exist.");
        return nullptr;
    }
    return make_key_path(keys.first(keys.size() - 1)).release();
}

PyObject* get_path(PyObject* self) { return cached_path(self).release(); }

// --- the type ---------------------------------------------------------------

PyMethodDef methods[] = {
    py::class_method<kp_from_value>("from_value",
                                    "The key path of a KeyPath, a path text or an int."),
    py::class_method<kp_parse>("parse", "Parse a path text, optionally under a parent path."),
    py::class_method<kp_vk_accept>(
        "__vk_accept__", "Coerce a path text into a KeyPath; NotImplemented for anything else."),
    py::method<kp_to_json>("to_json"),
    py::class_method<kp_from_json>("from_json"),
    py::method<kp_path_str>("path_str"),
    py::method<kp_format>("format"),
    py::method<kp_copy>("__copy__"),
    py::method<kp_deepcopy>("__deepcopy__"),
    py::method<kp_reduce>("__reduce__"),
    py::method<kp_query>("query"),
    py::method<kp_get>("get"),
    py::method<kp_exists>("exists"),
    py::method<kp_is_relative_to>("is_relative_to"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<get_keys>("keys", "The keys, root first."),
    py::getter<get_key>("key", "The last key."),
    py::getter<get_is_root>("is_root", "Whether the path has no keys."),
    py::getter<get_depth>("depth", "The number of keys."),
    py::getter<get_parent>("parent", "The path without its last key."),
    py::getter<get_path>("path", "The path text."),
    py::kGettersEnd,
};

// Variable size: the keys follow the fixed part, so the type states its own
// layout and deallocation.
void declare(py::TypeDef& t) {
    t.name("vesk_core._native.KeyPath")
        .doc("A path of keys from a tree root to a node.")
        .layout(sizeof(KeyPathObject), sizeof(Key))
        .final_()
        .slots({
            py::slot<Py_tp_new, kp_new>(),
            py::slot<Py_tp_dealloc, kp_dealloc>(),
            py::slot<Py_tp_str, kp_str>(),
            py::slot<Py_tp_repr, kp_str>(),
            py::slot<Py_tp_hash, kp_hash>(),
            py::slot<Py_tp_richcompare, kp_richcompare>(),
            py::slot<Py_mp_length, kp_length>(),
            py::slot<Py_nb_add, kp_add>(),
            py::slot<Py_nb_subtract, kp_subtract>(),
        })
        .vectorcall<kp_vectorcall>()
        .methods(methods)
        .getters(getters)
        .class_attr("__vesk_formattable__", Py_True)
        .class_attr("__serialization_key__", kSerializationKey);
}

}  // namespace

PyTypeObject* key_path_type() { return TYPE.get(declare); }

PyTypeObject* key_path_type_if_built() noexcept { return TYPE.peek(); }

int register_key_path(PyObject* module) { return py::add_type(module, key_path_type()); }

}  // namespace vesk::topology
