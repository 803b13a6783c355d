#include "symbolic/json/json_copy.hpp"

#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "symbolic/json/wire.hpp"

#include <utility>

namespace vesk::symbolic::json {

namespace {

// Counts one level of nesting against both the fixed bound and the
// interpreter's stack guard; a refusal is a decline, not an error.
class Depth {
public:
    Depth(int& depth, int max) noexcept : depth_(depth) {
        if (depth_ >= max) return;
        if (Py_EnterRecursiveCall("")) {
            PyErr_Clear();
            return;
        }
        ++depth_;
        entered_ = true;
    }
    ~Depth() {
        if (!entered_) return;
        --depth_;
        Py_LeaveRecursiveCall();
    }
    Depth(const Depth&) = delete;
    Depth& operator=(const Depth&) = delete;
    explicit operator bool() const noexcept { return entered_; }

private:
    int& depth_;
    bool entered_ = false;
};

bool record_visit(std::unordered_set<PyObject*>& seen, std::vector<py::Ref>& keep,
                  PyObject* container) {
    if (!seen.insert(container).second) return false;
    keep.push_back(py::Ref::borrow(container));
    return true;
}

}  // namespace

bool JsonCopy::first_visit(PyObject* container) { return record_visit(seen_, keep_, container); }

Step JsonCopy::value(PyObject* v, py::Ref& out) {
    if (is_wire_primitive(v)) {
        out = py::Ref::borrow(v);
        return kDone;
    }
    if (PyList_CheckExact(v)) return list(v, out);
    if (PyDict_CheckExact(v)) return dict(v, out);
    return kDecline;
}

Step JsonCopy::emit(PyObject* json, PyObject* key, PyObject* v) {
    return store_value(json, key, v, [this](PyObject* x, py::Ref& out) { return value(x, out); });
}

Step JsonCopy::list(PyObject* v, py::Ref& out) {
    if (!first_visit(v)) return kDecline;
    Depth level(depth_, kMaxDepth);
    if (!level) return kDecline;
    // One slice under the list's lock; from here on only the copy is read.
    py::Ref copy = py::Ref::steal(PyList_GetSlice(v, 0, PY_SSIZE_T_MAX));
    if (!copy) return kError;
    const Py_ssize_t n = PyList_GET_SIZE(copy.get());
    if (n > 0 && is_marker_like(PyList_GET_ITEM(copy.get(), 0))) return kDecline;
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref item = py::Ref::borrow(PyList_GET_ITEM(copy.get(), i));
        if (is_wire_primitive(item.get())) continue;
        py::Ref converted;
        const Step r = value(item.get(), converted);
        if (r != kDone) return r;
        if (PyList_SetItem(copy.get(), i, converted.release()) < 0) return kError;
    }
    out = std::move(copy);
    return kDone;
}

Step JsonCopy::dict(PyObject* v, py::Ref& out) {
    if (!first_visit(v)) return kDecline;
    Depth level(depth_, kMaxDepth);
    if (!level) return kDecline;
    // One copy under the dict's lock; from here on only the copy is read.
    py::Ref copy = py::Ref::steal(PyDict_Copy(v));
    if (!copy) return kError;
    std::vector<std::pair<py::Ref, py::Ref>> nested;
    {
        py::CriticalSection guard(copy.get());
        PyObject* key;
        PyObject* item;
        Py_ssize_t pos = 0;
        while (PyDict_Next(copy.get(), &pos, &key, &item)) {
            if (!is_plain_key(key) || is_marker_like(key)) return kDecline;
            if (!is_wire_primitive(item))
                nested.emplace_back(py::Ref::borrow(key), py::Ref::borrow(item));
        }
    }
    for (auto& [key, item] : nested) {
        const Step r = emit(copy.get(), key.get(), item.get());
        if (r != kDone) return r;
    }
    out = std::move(copy);
    return kDone;
}

bool PlainJsonTest::first_visit(PyObject* container) {
    return record_visit(seen_, keep_, container);
}

int PlainJsonTest::child(PyObject* v) {
    if (is_wire_primitive(v) || PyBytes_CheckExact(v)) return 1;
    if (PyList_CheckExact(v)) return list(v);
    if (PyDict_CheckExact(v)) return dict(v);
    return 0;
}

int PlainJsonTest::list(PyObject* v) {
    if (!first_visit(v)) return 0;
    Depth level(depth_, kMaxDepth);
    if (!level) return 0;
    py::Ref first = py::list_item(v, 0);
    if (!first) return 1;
    PyObject* tuple_marker = nullptr;
    if (!py::intern<"__tuple__">(tuple_marker)) return -1;
    const int is_tuple = PyObject_RichCompareBool(first.get(), tuple_marker, Py_EQ);
    if (is_tuple != 0) return is_tuple < 0 ? -1 : 0;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(v, i);
        if (!item) return 1;
        const int r = child(item.get());
        if (r != 1) return r;
    }
}

int PlainJsonTest::dict(PyObject* v) {
    if (!first_visit(v)) return 0;
    Depth level(depth_, kMaxDepth);
    if (!level) return 0;
    PyObject* names[3];
    if (!py::intern<"_type">(names[0]) || !py::intern<"__ref__">(names[1]) ||
        !py::intern<"__symbolic__">(names[2]))
        return -1;
    for (PyObject* name : names) {
        const int held = PyDict_Contains(v, name);
        if (held != 0) return held < 0 ? -1 : 0;
    }
    py::Ref keys = py::Ref::steal(PyDict_Keys(v));
    if (!keys) return -1;
    {
        py::CriticalSection guard(keys.get());
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i)
            if (is_marker_like(PyList_GET_ITEM(keys.get(), i))) return 0;
    }
    py::Ref values = py::Ref::steal(PyDict_Values(v));
    if (!values) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref item = py::list_item(values.get(), i);
        if (!item) return 1;
        const int r = child(item.get());
        if (r != 1) return r;
    }
}

}  // namespace vesk::symbolic::json
