#include "symbolic/json/wire.hpp"

#include "py/lazy.hpp"
#include "py/named.hpp"

#include <cstring>
#include <string_view>

namespace vesk::symbolic::json {

namespace {

constexpr std::string_view kMarkers[] = {"_type", "__ref__", "__root__", "__tuple__",
                                         "__context__"};

bool has_surrogate(PyObject* text) noexcept {
    const int kind = PyUnicode_KIND(text);
    if (kind == PyUnicode_1BYTE_KIND) return false;
    const void* data = PyUnicode_DATA(text);
    const Py_ssize_t n = PyUnicode_GET_LENGTH(text);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

}  // namespace

bool is_marker_like(PyObject* value) noexcept {
    if (!PyUnicode_Check(value)) return false;
    const Py_ssize_t n = PyUnicode_GET_LENGTH(value);
    if (n == 0) return false;
    const Py_UCS4 first = PyUnicode_READ_CHAR(value, 0);
    if (first != '_' && first != '\\') return false;
    // Markers are ASCII: a text with other characters can only qualify by
    // not being encodable at all.
    if (!PyUnicode_IS_ASCII(value)) return has_surrogate(value);
    std::string_view text(static_cast<const char*>(PyUnicode_DATA(value)),
                          static_cast<std::size_t>(n));
    while (!text.empty() && text.front() == '\\') text.remove_prefix(1);
    for (std::string_view marker : kMarkers)
        if (text == marker) return true;
    return false;
}

py::Ref type_head(PyObject* obj) {
    py::Ref key = py::get_attr<"__serialization_key__">(py::class_of(obj));
    PyObject* type_key;
    if (!key || !py::intern<"_type">(type_key)) return {};
    py::Ref out = py::Ref::steal(PyDict_New());
    if (!out || PyDict_SetItem(out.get(), type_key, key.get()) < 0) return {};
    return out;
}

bool takes_head_place(PyObject* key) noexcept {
    if (!PyUnicode_CheckExact(key)) return true;
    return PyUnicode_GET_LENGTH(key) == 5 && PyUnicode_CompareWithASCIIString(key, "_type") == 0;
}

}  // namespace vesk::symbolic::json
