#include "kernel/record/quote.hpp"

#include <cstdio>
#include <string>

namespace vesk::kernel::record {

namespace {

void append_utf8(std::string& out, Py_UCS4 ch) {
    if (ch < 0x80) {
        out += static_cast<char>(ch);
    } else if (ch < 0x800) {
        out += static_cast<char>(0xC0 | (ch >> 6));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
        out += static_cast<char>(0xE0 | (ch >> 12));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (ch >> 18));
        out += static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (ch & 0x3F));
    }
}

void append_char(std::string& out, Py_UCS4 ch) {
    switch (ch) {
        case '"': out += "\\\""; return;
        case '\\': out += "\\\\"; return;
        case '\t': out += "\\t"; return;
        case '\r': out += "\\r"; return;
        case '\n': out += "\\n"; return;
        case 0: out += "\\0"; return;
        default: break;
    }
    const bool surrogate = ch >= 0xD800 && ch <= 0xDFFF;
    if (!surrogate && Py_UNICODE_ISPRINTABLE(ch)) {
        append_utf8(out, ch);
        return;
    }
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(ch));
    out += buf;
}

}  // namespace

py::Ref quoted_name(PyObject* name) {
    std::string out = "\"";
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    for (Py_ssize_t i = 0; i < n; ++i) append_char(out, PyUnicode_READ_CHAR(name, i));
    out += '"';
    return py::Ref::steal(PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

}  // namespace vesk::kernel::record
