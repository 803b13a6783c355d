#include "typing/value_spec/utils.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "topology/key_path.hpp"
#include "topology/path_text.hpp"
#include "typing/bridge.hpp"

namespace vesk::typing {

namespace {

// The `typing` module, imported once; its TYPE_CHECKING is read at each use,
// since code may set it after import.
PyObject* typing_mod() { return py::imported<"typing">(); }

// The pieces of a one-item mapping view entry, unpacked as `key, value = item`.
bool unpack_pair(PyObject* item, py::Ref& first, py::Ref& second) {
    py::Ref tuple = py::Ref::steal(PySequence_Tuple(item));
    if (!tuple) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple.get());
    if (n != 2) {
        if (n < 2)
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", n);
        else
            PyErr_Format(PyExc_ValueError, "too many values to unpack (expected 2, got %zd)", n);
        return false;
    }
    first = py::Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 0));
    second = py::Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 1));
    return true;
}

// Maps `cls` to `candidate`: 1 when mapped (or already mapped to it), 0 when
// `cls` is not a class or is claimed by another candidate, -1 on error.
int claim(PyObject* map, PyObject* cls, PyObject* candidate) {
    if (!PyType_Check(cls)) return 0;
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(map, cls, &found);
    py::Ref holder = py::Ref::steal(found);
    if (r < 0) return -1;
    if (r > 0) return found == candidate ? 1 : 0;
    return PyDict_SetItem(map, cls, candidate) < 0 ? -1 : 1;
}

}  // namespace

py::Ref as_type_args(PyObject* args) {
    if (PyTuple_Check(args)) return py::Ref::borrow(args);
    return py::Ref::steal(PyTuple_Pack(1, args));
}

py::Ref from_annotation(PyObject* annotation) {
    const TypingBridge* b = typing_bridge();
    if (!b) return {};
    py::Ref method = py::get_attr<"from_annotation">(b->value_spec_cls.get());
    if (!method) return {};
    PyObject* kw = py::names<"auto_typing">();
    if (!kw) return {};
    PyObject* args[2] = {annotation, Py_True};
    return py::Ref::steal(PyObject_Vectorcall(method.get(), args, 1, kw));
}

py::Ref union_getitem(PyObject* a, PyObject* b) {
    const TypingBridge* br = typing_bridge();
    if (!br) return {};
    py::Ref pair = py::Ref::steal(PyTuple_Pack(2, a, b));
    if (!pair) return {};
    return py::Ref::steal(PyObject_GetItem(br->union_cls.get(), pair.get()));
}

py::Ref generic_getitem_result(py::Ref spec) {
    if (!spec) return {};
    PyObject* module = typing_mod();
    if (!module) return {};
    py::Ref flag = py::get_attr<"TYPE_CHECKING">(module);
    if (!flag) return {};
    const int checking = PyObject_IsTrue(flag.get());
    if (checking < 0) return {};
    if (!checking) return spec;
    return py::get_attr<"annotation">(spec.get());
}

py::Ref path_text_for_message(PyObject* path) {
    py::Ref text = py::Ref::steal(PyObject_Str(path));
    if (text || !topology::is_key_path(path) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        return text;
    // A key holding a lone surrogate has no text of its own; the message
    // names it escaped rather than failing in place of the real error.
    PyErr_Clear();
    return topology::render_escaped(topology::keys_of(path));
}

py::Ref root_path_str(PyObject* path) {
    if (!path || path == Py_None) return py::Ref::steal(PyUnicode_FromStringAndSize("", 0));
    return path_text_for_message(path);
}

py::Ref root_path_display(PyObject* path) {
    if (!path || path == Py_None) return py::Ref::steal(PyUnicode_FromString("None"));
    return path_text_for_message(path);
}

py::Ref message_on_path(PyObject* message, PyObject* path_text) {
    return py::Ref::steal(PyUnicode_FromFormat("%S (path=%S)", message, path_text));
}

py::Ref message_on_path(const char* message, PyObject* path_text) {
    return py::Ref::steal(PyUnicode_FromFormat("%s (path=%S)", message, path_text));
}

py::Ref py_repr(PyObject* obj) { return py::Ref::steal(PyObject_Repr(obj)); }

py::Ref wrap_transform_error(PyObject* caught, PyObject* path_text) {
    py::Ref text = py::Ref::steal(PyObject_Str(caught));
    py::Ref message = text ? message_on_path(text.get(), path_text) : py::Ref();
    py::Ref made = message ? py::Ref::steal(PyObject_CallOneArg(
                                 reinterpret_cast<PyObject*>(Py_TYPE(caught)), message.get()))
                           : py::Ref();
    if (!made || !PyExceptionInstance_Check(made.get())) {
        // The class cannot be made from one message: the caller's own failure
        // is what the user needs to see, not the re-creation error.
        PyErr_Clear();
        return py::Ref::borrow(caught);
    }
    PyException_SetCause(made.get(), py::new_ref(caught));
    return made;
}

int regex_pattern_str(PyObject* regex, py::Ref& out) {
    if (!regex || regex == Py_None) return 0;
    py::Ref pattern = py::get_attr<"pattern">(regex);
    if (!pattern || !py::arg_str("pattern", pattern.get())) return -1;
    out = std::move(pattern);
    return 1;
}

int build_candidate_type_map(PyObject* candidates, bool some_without_value_type, py::Ref& out) {
    if (some_without_value_type) return 0;
    if (!PyList_Check(candidates)) {
        py::raise_arg_type("candidates", "list", candidates);
        return -1;
    }
    // Candidates are read one at a time under the list's lock; each is then
    // asked with no lock held.
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        py::Ref refs = py::get_attr<"forward_refs">(candidate.get());
        if (!refs) return -1;
        const int truthy = PyObject_IsTrue(refs.get());
        if (truthy) return truthy < 0 ? -1 : 0;
    }
    py::Ref map = py::Ref::steal(PyDict_New());
    if (!map) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        py::Ref value_type = py::get_attr<"_value_type">(candidate.get());
        if (!value_type) return -1;
        if (PyTuple_Check(value_type.get())) {
            const Py_ssize_t n = PyTuple_GET_SIZE(value_type.get());
            for (Py_ssize_t k = 0; k < n; ++k) {
                const int r =
                    claim(map.get(), PyTuple_GET_ITEM(value_type.get(), k), candidate.get());
                if (r <= 0) return r;
            }
        } else {
            const int r = claim(map.get(), value_type.get(), candidate.get());
            if (r <= 0) return r;
        }
    }
    out = std::move(map);
    return 1;
}

int compute_open_str_value_spec(PyObject* schema, py::Ref& out) {
    if (!schema || schema == Py_None) return 0;
    py::Ref fields = py::get_attr<"fields">(schema);
    if (!fields) return -1;
    const Py_ssize_t n = PyObject_Size(fields.get());
    if (n != 1) return n < 0 ? -1 : 0;

    PyObject* items_name = py::intern<"items">();
    if (!items_name) return -1;
    py::Ref items = py::Ref::steal(PyObject_CallMethodNoArgs(fields.get(), items_name));
    if (!items) return -1;
    py::Ref it = py::Ref::steal(PyObject_GetIter(items.get()));
    if (!it) return -1;
    py::Ref item = py::Ref::steal(PyIter_Next(it.get()));
    if (!item) return PyErr_Occurred() ? -1 : 0;
    py::Ref key, field;
    if (!unpack_pair(item.get(), key, field)) return -1;

    const TypingBridge* b = typing_bridge();
    if (!b) return -1;
    const int is_str_key = PyObject_IsInstance(key.get(), b->str_key_cls.get());
    if (is_str_key <= 0) return is_str_key;
    py::Ref regex = py::get_attr<"regex">(key.get());
    if (!regex) return -1;
    if (regex.get() != Py_None) return 0;
    py::Ref spec = py::get_attr<"value">(field.get());
    if (!spec) return -1;
    out = std::move(spec);
    return 1;
}

}  // namespace vesk::typing
