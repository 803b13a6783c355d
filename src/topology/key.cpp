#include "topology/key.hpp"

#include "topology/path_text.hpp"

#include <cstring>
#include <new>

namespace vesk::topology {

// --- Text -----------------------------------------------------------------

Text::Text(std::string_view s) {
    void* mem = ::operator new(sizeof(Header) + s.size());
    buf_ = new (mem) Header{{1}, s.size()};
    if (!s.empty()) std::memcpy(static_cast<char*>(mem) + sizeof(Header), s.data(), s.size());
}

void Text::release() noexcept {
    // A sole holder has no one to race with (only a holder can copy), so the
    // common case of a text never shared frees without a locked decrement.
    if (buf_ && (buf_->refs.load(std::memory_order_acquire) == 1 ||
                 buf_->refs.fetch_sub(1, std::memory_order_acq_rel) == 1)) {
        buf_->~Header();
        ::operator delete(static_cast<void*>(buf_));
    }
    buf_ = nullptr;
}

// --- conversion -------------------------------------------------------------

Key Key::from_py(PyObject* value) {
    if (PyUnicode_Check(value)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
        if (utf8) return Key::str(std::string_view(utf8, static_cast<std::size_t>(size)));
        // A lone surrogate has no UTF-8 form: the key keeps the object.
        PyErr_Clear();
        return Key::other(py::Ref::borrow(value));
    }
    // Booleans are never integer keys.
    if (!PyLong_Check(value) || PyBool_Check(value)) return Key::other(py::Ref::borrow(value));
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (n == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return Key::other(py::Ref::borrow(value));
    }
    return Key::integer(static_cast<std::int64_t>(n));
}

py::Ref Key::to_py() const {
    switch (kind()) {
        case Kind::Str: {
            const std::string_view t = text();
            return py::Ref::steal(
                PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), nullptr));
        }
        case Kind::Int: return py::Ref::steal(PyLong_FromLongLong(number()));
        case Kind::Other: break;
    }
    return py::Ref::borrow(object());
}

void append_decimal(std::string& out, std::int64_t n) {
    char buf[24];
    char* end = buf + sizeof buf;
    char* p = end;
    // Work in unsigned arithmetic so the smallest value negates safely.
    std::uint64_t u = n < 0 ? 0 - static_cast<std::uint64_t>(n) : static_cast<std::uint64_t>(n);
    do {
        *--p = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (n < 0) *--p = '-';
    out.append(p, static_cast<std::size_t>(end - p));
}

void Key::append_str_form(std::string& out) const {
    if (is_str())
        out.append(text());
    else
        append_decimal(out, number());
}

// --- comparison -------------------------------------------------------------

bool apply_ord(CmpOp op, std::string_view x, std::string_view y) noexcept {
    if (op == CmpOp::Eq) return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size()) == 0;
    const std::size_t common = x.size() < y.size() ? x.size() : y.size();
    int c = common ? std::memcmp(x.data(), y.data(), common) : 0;
    if (c == 0) c = x.size() < y.size() ? -1 : (x.size() > y.size() ? 1 : 0);
    switch (op) {
        case CmpOp::Lt: return c < 0;
        case CmpOp::Le: return c <= 0;
        case CmpOp::Gt: return c > 0;
        case CmpOp::Ge: return c >= 0;
        case CmpOp::Eq: break;
    }
    return c == 0;
}

namespace {

constexpr int kPyOp[] = {Py_LT, Py_LE, Py_GT, Py_GE, Py_EQ};

[[nodiscard]] int interpreter_cmp(const Key& a, const Key& b, int py_op) {
    py::Ref x = a.to_py();
    if (!x) return -1;
    py::Ref y = b.to_py();
    if (!y) return -1;
    return PyObject_RichCompareBool(x.get(), y.get(), py_op);
}

}  // namespace

int py_eq(const Key& a, const Key& b) {
    if (a.is_str() && b.is_str()) return a.text() == b.text() ? 1 : 0;
    if (a.is_int() && b.is_int()) return a.number() == b.number() ? 1 : 0;
    if (!a.is_other() && !b.is_other()) return 0;  // "0" is not 0
    // Not PyObject_RichCompareBool: its identity shortcut would skip the
    // interpreter's `==` of the held object.
    py::Ref x = a.to_py();
    if (!x) return -1;
    py::Ref y = b.to_py();
    if (!y) return -1;
    py::Ref res = py::Ref::steal(PyObject_RichCompare(x.get(), y.get(), Py_EQ));
    if (!res) return -1;
    const int truth = PyObject_IsTrue(res.get());
    if (truth <= 0) return truth;
    // Equal keys must render alike, or equal paths would hash differently.
    std::string ta;
    std::string tb;
    if (!render_keys(std::span<const Key>(&a, 1), true, ta) ||
        !render_keys(std::span<const Key>(&b, 1), true, tb))
        return -1;
    return ta == tb ? 1 : 0;
}

int wrapper_cmp(const Key& a, const Key& b, CmpOp op) {
    if (a.is_int() && b.is_int()) {
        const std::int64_t x = a.number();
        const std::int64_t y = b.number();
        switch (op) {
            case CmpOp::Lt: return x < y;
            case CmpOp::Le: return x <= y;
            case CmpOp::Gt: return x > y;
            case CmpOp::Ge: return x >= y;
            case CmpOp::Eq: return x == y;
        }
    }
    if (!a.is_other() && !b.is_other()) {
        if (a.is_str() && b.is_str()) return apply_ord(op, a.text(), b.text()) ? 1 : 0;
        std::string x;
        std::string y;
        a.append_str_form(x);
        b.append_str_form(y);
        return apply_ord(op, x, y) ? 1 : 0;
    }
    return interpreter_cmp(a, b, kPyOp[static_cast<int>(op)]);
}

}  // namespace vesk::topology
