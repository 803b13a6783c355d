#include "symbolic/object/render.hpp"

#include "py/args.hpp"
#include "py/dict_cursor.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "py/text_writer.hpp"
#include "symbolic/object/object_state.hpp"

#include <cstdint>

namespace vesk::symbolic::object {

namespace {

// Nesting below the top object that still renders; one level more declines.
constexpr int kMaxDepth = 100;

enum class Outcome : unsigned char { Rendered, Declined, Failed };

struct Layout {
    bool compact;
    PyObject* child_fields;
};

// The values written by their repr alone: exactly int, float, bool or str,
// or None. A subclass (an enum member, a str subclass) goes to the callback.
[[nodiscard]] bool is_leaf(PyObject* v) noexcept {
    if (v == Py_None) return true;
    PyTypeObject* t = Py_TYPE(v);
    return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type ||
           t == &PyBool_Type;
}

// Writes the str `s` (its characters, for a subclass too) when it has a
// UTF-8 form; a lone surrogate raises the codec's own UnicodeEncodeError,
// as encoding the text would. A text of one-byte characters has none.
[[nodiscard]] bool write_encodable(py::TextWriter& out, PyObject* s) {
    const int kind = PyUnicode_KIND(s);
    if (kind != PyUnicode_1BYTE_KIND) {
        const void* data = PyUnicode_DATA(s);
        const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const Py_UCS4 c = PyUnicode_READ(kind, data, i);
            if (c >= 0xD800 && c <= 0xDFFF && !py::Ref::steal(PyUnicode_AsUTF8String(s)))
                return false;
        }
    }
    return out.text(s);
}

// A key: a str as its text, anything else as `str(key)`; either must have
// a UTF-8 form.
[[nodiscard]] bool write_key(py::TextWriter& out, PyObject* key) {
    if (PyUnicode_Check(key)) return write_encodable(out, key);
    py::Ref text = py::Ref::steal(PyObject_Str(key));
    return text && write_encodable(out, text.get());
}

// `repr(value)` of a leaf; the constants are written without a call. The
// repr of a str escapes a lone surrogate, so a leaf always encodes.
[[nodiscard]] bool write_leaf(py::TextWriter& out, PyObject* v) noexcept {
    if (v == Py_None) return out.ascii("None", 4);
    if (v == Py_True) return out.ascii("True", 4);
    if (v == Py_False) return out.ascii("False", 5);
    return out.repr(v);
}

// Two spaces per indentation step; nothing for a level below 1. A level so
// large that its width does not fit a size fails as an overflow rather than
// wrapping around.
[[nodiscard]] bool indent(py::TextWriter& out, std::int64_t level) {
    if (level < 1) return true;
    if (level > PY_SSIZE_T_MAX / 2) {
        PyErr_SetString(PyExc_OverflowError, "indentation level too large to render");
        return false;
    }
    return out.spaces(static_cast<Py_ssize_t>(level) * 2);
}

// The indentation level one step in, saturated so that a level near the
// 64-bit maximum stays too large to render instead of turning negative.
[[nodiscard]] std::int64_t inner(std::int64_t level) noexcept {
    return level == INT64_MAX ? level : level + 1;
}

// `child_fields(value)`: the dict in `out`, or null for a decline.
[[nodiscard]] Outcome ask_fields(const Layout& layout, PyObject* value, py::Ref& out) {
    out = py::Ref::steal(PyObject_CallOneArg(layout.child_fields, value));
    if (!out) return Outcome::Failed;
    if (out.get() == Py_None) return Outcome::Declined;
    if (!PyDict_Check(out.get())) {
        PyErr_Format(PyExc_TypeError, "child_fields must return a dict or None, not '%.200s'",
                     Py_TYPE(out.get())->tp_name);
        return Outcome::Failed;
    }
    return Outcome::Rendered;
}

// The name written before a nested level's "(": `type(value).__name__`.
[[nodiscard]] py::Ref class_name(PyObject* value) {
    py::Ref name = py::get_attr<"__name__">(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    if (name && !PyUnicode_Check(name.get())) {
        PyErr_Format(PyExc_TypeError, "the class name of a rendered value must be a str, not '%.200s'",
                     Py_TYPE(name.get())->tp_name);
        return {};
    }
    return name;
}

Outcome render_level(py::TextWriter& out, PyObject* name, PyObject* fields, const Layout& layout,
                     std::int64_t level, int depth);

[[nodiscard]] Outcome render_value(py::TextWriter& out, PyObject* value, const Layout& layout,
                                   std::int64_t level, int depth) {
    if (is_leaf(value)) return write_leaf(out, value) ? Outcome::Rendered : Outcome::Failed;
    if (depth >= kMaxDepth) return Outcome::Declined;
    py::Ref fields;
    const Outcome asked = ask_fields(layout, value, fields);
    if (asked != Outcome::Rendered) return asked;
    py::Ref name = class_name(value);
    if (!name) return Outcome::Failed;
    return render_level(out, name.get(), fields.get(), layout, inner(level), depth + 1);
}

// One level: `name(` then the fields in dict order, each taken under the
// dict's lock and rendered with no lock held, then `)`.
Outcome render_level(py::TextWriter& out, PyObject* name, PyObject* fields, const Layout& layout,
                     std::int64_t level, int depth) {
    if (!write_encodable(out, name) || !out.ch('(')) return Outcome::Failed;
    {
        py::CriticalSection guard(fields);
        if (PyDict_GET_SIZE(fields) == 0) return out.ch(')') ? Outcome::Rendered : Outcome::Failed;
    }
    const bool compact = layout.compact;
    if (!compact && !out.ch('\n')) return Outcome::Failed;
    py::DictCursor cursor(fields);
    py::Ref key, value;
    bool first = true;
    for (int step; (step = cursor.next(key, value)) != 0;) {
        if (step < 0) return Outcome::Failed;
        if (!first && !(compact ? out.ascii(", ", 2) : out.ascii(",\n", 2)))
            return Outcome::Failed;
        first = false;
        if (!compact && !indent(out, inner(level))) return Outcome::Failed;
        if (!write_key(out, key.get()) || !(compact ? out.ch('=') : out.ascii(" = ", 3))) return Outcome::Failed;
        const Outcome o = render_value(out, value.get(), layout, level, depth);
        if (o != Outcome::Rendered) return o;
    }
    if (!compact && (!out.ch('\n') || !indent(out, level))) return Outcome::Failed;
    return out.ch(')') ? Outcome::Rendered : Outcome::Failed;
}

// `compact` must be a bool: anything else declines.
[[nodiscard]] bool read_compact(PyObject* value, bool& out) noexcept {
    if (!py::is_bool_scalar(value)) return false;
    const int truth = PyObject_IsTrue(value);
    if (truth < 0) {
        PyErr_Clear();
        return false;
    }
    out = truth != 0;
    return true;
}

// `root_indent` must convert to a signed 64-bit int (an int, or an integer
// with `__index__`): anything else declines, its conversion error dropped.
[[nodiscard]] bool read_root_indent(PyObject* value, std::int64_t& out) noexcept {
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow != 0 || (v == -1 && PyErr_Occurred())) {
        PyErr_Clear();
        return false;
    }
    out = static_cast<std::int64_t>(v);
    return true;
}

// The top object's fields: a SymObject's own field dictionary (null for a
// blank one), anything else's from the callback.
[[nodiscard]] Outcome top_fields(PyObject* obj, const Layout& layout, py::Ref& out) {
    if (!is_sym_object(obj)) return ask_fields(layout, obj, out);
    if (!inline_storage(obj, out)) return Outcome::Failed;
    return out ? Outcome::Rendered : Outcome::Declined;
}

py::Params kRenderParams{
    "_render_object_fast", {"obj", "name", "compact", "root_indent", "child_fields"}, 5, 5};

}  // namespace

PyObject* render_object_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Args<5> a;
    if (!py::parse(kRenderParams, args, nargs, kwnames, a) || !py::arg_str("name", a[1]))
        return nullptr;
    Layout layout{false, a[4]};
    std::int64_t root_indent = 0;
    if (!read_compact(a[2], layout.compact) || !read_root_indent(a[3], root_indent))
        return py::none();
    py::Ref fields;
    Outcome o = top_fields(a[0], layout, fields);
    if (o != Outcome::Rendered) return o == Outcome::Failed ? nullptr : py::none();
    py::TextWriter out(64);
    if (!out.ok()) return nullptr;
    o = render_level(out, a[1], fields.get(), layout, root_indent, 0);
    if (o == Outcome::Failed) return nullptr;
    if (o == Outcome::Declined) return py::none();
    return out.finish().release();
}

PyMethodDef render_functions[] = {
    py::function<render_object_fast>(
        kRenderParams,
        "The call-like text of a symbolic object whose nested values `child_fields` describes, or "
        "None where the package must format it itself."),
    py::kMethodsEnd,
};

}  // namespace vesk::symbolic::object
