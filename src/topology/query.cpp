#include "topology/query.hpp"

#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "topology/path_text.hpp"

namespace vesk::topology {

namespace {

// One step of the walk: how the key addresses the current value.
struct Step {
    bool index_mode;     // integer keys (and bools) address positions
    std::int64_t index;  // valid in index mode
    py::Ref key;         // the key object handed to containers and messages
};

// `object` is the key's Python form, taken from the path's key tuple.
void make_step(const Key& k, PyObject* object, Step& step) {
    step.key = py::Ref::borrow(object);
    switch (k.kind()) {
        case Key::Kind::Int:
            step.index_mode = true;
            step.index = k.number();
            break;
        case Key::Kind::Str:
            step.index_mode = false;
            break;
        case Key::Kind::Other:
            step.index_mode = PyBool_Check(object);
            step.index = object == Py_True ? 1 : 0;
            break;
    }
}

// KeyError for a key missing from `container`, naming the path up to and
// including that key.
void raise_absent(std::span<const Key> keys, std::size_t i, PyObject* key, PyObject* container) {
    py::Ref path = render_to_str(keys.first(i + 1), true);
    if (!path) return;
    PyErr_Format(PyExc_KeyError, "Path %U does not exist: key %R is absent from innermost value %R.",
                 path.get(), key, container);
}

// 1 when `obj` has the attribute (stored in `out` when given), 0 when the
// lookup raises AttributeError, -1 on any other error.
template <py::Literal Name>
[[nodiscard]] int has_attr(PyObject* obj, py::Ref* out = nullptr) {
    py::Ref found;
    const int r = py::get_optional_attr<Name>(obj, found);
    if (out) *out = std::move(found);
    return r;
}

// Item `index` of an exact list, read once under the list's lock so that a
// concurrent shrink gives not-found rather than the list's IndexError. A
// negative index counts from the end; below minus the length it is the
// list's own IndexError.
[[nodiscard]] int list_step(PyObject* list, std::int64_t index, py::Ref& next) {
    if (index >= 0) {
        next = py::list_item(list, static_cast<Py_ssize_t>(index));
        return next ? 1 : 0;
    }
    {
        py::CriticalSection guard(list);
        const Py_ssize_t from_start = static_cast<Py_ssize_t>(index) + PyList_GET_SIZE(list);
        if (from_start >= 0) next = py::Ref::borrow(PyList_GET_ITEM(list, from_start));
    }
    if (next) return 1;
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return -1;
}

// 1 with `next` set, 0 when the key is absent (nothing raised), -1 on error.
[[nodiscard]] int step_exact(PyObject* value, const Step& step, py::Ref& next) {
    if (step.index_mode) {
        if (PyList_CheckExact(value)) return list_step(value, step.index, next);
        const Py_ssize_t len = PyObject_Length(value);
        if (len < 0) return -1;
        if (step.index >= len) return 0;
        // A negative index counts from the end; below minus the length the
        // container raises its own IndexError.
        next = py::Ref::steal(PySequence_GetItem(value, static_cast<Py_ssize_t>(step.index)));
        return next ? 1 : -1;
    }
    PyObject* raw = nullptr;
    const int found = PyDict_GetItemRef(value, step.key.get(), &raw);
    next = py::Ref::steal(raw);
    return found;
}

// Values that are not exact lists, tuples or dicts: their own symbolic
// protocol first, then item access.
[[nodiscard]] int step_generic(std::span<const Key> keys, std::size_t i, PyObject* c,
                               const Step& step, bool use_inferred, py::Ref& next) {
    py::Ref sym_hasattr;
    int has = has_attr<"sym_hasattr">(c, &sym_hasattr);
    if (has < 0) return -1;
    if (has) {
        py::Ref answer = py::Ref::steal(PyObject_CallOneArg(sym_hasattr.get(), step.key.get()));
        if (!answer) return -1;
        const int truth = PyObject_IsTrue(answer.get());
        if (truth <= 0) return truth;
        next = use_inferred ? py::call_method<"sym_inferred">(c, step.key.get())
                            : py::call_method<"sym_getattr">(c, step.key.get());
        return next ? 1 : -1;
    }
    has = has_attr<"__getitem__">(c);
    if (has <= 0) {
        if (has < 0) return -1;
        py::Ref path = render_to_str(keys.first(i), true);
        if (!path) return -1;
        PyErr_Format(PyExc_KeyError,
                     "Cannot query sub-key %R of object (%R): '__getitem__' does not exist. (path=%U)",
                     step.key.get(), c, path.get());
        return -1;
    }
    if (step.index_mode) {
        has = has_attr<"__len__">(c);
        if (has <= 0) {
            if (has == 0)
                PyErr_Format(PyExc_KeyError,
                             "Cannot query index (%lld) on object (%R): '__len__' does not exist.",
                             static_cast<long long>(step.index), c);
            return -1;
        }
        const Py_ssize_t len = PyObject_Size(c);
        if (len < 0) return -1;
        if (step.index >= len) return 0;
        py::Ref index = py::Ref::steal(PyLong_FromLongLong(step.index));
        if (!index) return -1;
        next = py::Ref::steal(PyObject_GetItem(c, index.get()));
        return next ? 1 : -1;
    }
    has = has_attr<"__contains__">(c);
    if (has <= 0) {
        if (has == 0)
            PyErr_Format(PyExc_KeyError,
                         "Cannot query key (%R) on object (%R): '__contains__' does not exist.",
                         step.key.get(), c);
        return -1;
    }
    const int in = PySequence_Contains(c, step.key.get());
    if (in <= 0) return in;
    next = py::Ref::steal(PyObject_GetItem(c, step.key.get()));
    return next ? 1 : -1;
}

}  // namespace

py::Ref query_path(PyObject* path, PyObject* src, bool use_inferred) {
    const std::span<const Key> keys = keys_of(path);
    PyObject* objects = key_objects(path);
    if (!objects) return {};
    // A loop, not recursion: a path parsed from a long text may have any
    // number of keys.
    py::Ref value = py::Ref::borrow(src);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        Step step{};
        make_step(keys[i], PyTuple_GET_ITEM(objects, static_cast<Py_ssize_t>(i)), step);
        PyObject* v = value.get();
        PyTypeObject* type = Py_TYPE(v);
        const bool exact = step.index_mode ? (type == &PyList_Type || type == &PyTuple_Type)
                                           : type == &PyDict_Type;
        py::Ref next;
        const int found = exact ? step_exact(v, step, next)
                                : step_generic(keys, i, v, step, use_inferred, next);
        if (found < 0) return {};
        if (found == 0) {
            raise_absent(keys, i, step.key.get(), v);
            return {};
        }
        value = std::move(next);
    }
    return value;
}

}  // namespace vesk::topology
