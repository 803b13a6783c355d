#include "formatting/hierarchy.hpp"

#include "formatting/bridge.hpp"
#include "formatting/cache.hpp"
#include "formatting/format.hpp"
#include "formatting/kw_frame.hpp"
#include "formatting/names.hpp"
#include "formatting/text.hpp"
#include "py/critical_section.hpp"
#include "py/dict_cursor.hpp"
#include "py/named.hpp"

#include <vector>

namespace vesk::formatting {

namespace {

// The truth of `__vesk_formattable__` looked up on the value's class; an
// absent attribute means not formattable.
int is_formattable(PyObject* value) {
    py::Ref flag;
    const int found = py::get_optional_attr<"__vesk_formattable__">(
        reinterpret_cast<PyObject*>(Py_TYPE(value)), flag);
    if (found <= 0) return found;
    return PyObject_IsTrue(flag.get());
}

bool require_str(const py::Ref& text, const char* what) {
    if (!text) return false;
    if (PyUnicode_Check(text.get())) return true;
    PyErr_Format(PyExc_TypeError, "%s must return a str, not %.200s", what,
                 Py_TYPE(text.get())->tp_name);
    return false;
}

py::Ref format_formattable(const FormatOptions& opts, PyObject* memo) {
    py::Ref exclude = opts.exclude_keys ? py::Ref::borrow(opts.exclude_keys)
                                        : py::Ref::steal(PySet_New(nullptr));
    if (!exclude) return {};
    ChildValues child(opts, opts.root_indent_or_default(), memo);
    child.values[names::kChildCount] = opts.include_keys ? opts.include_keys : Py_None;
    child.values[names::kChildCount + 1] = exclude.get();
    KwFrame frame;
    PyObject* kwnames;
    if (!names::formattable(kwnames) ||
        !frame.build(kwnames, child.values, names::kChildCount, opts.extra))
        return {};

    MarkdownSuppression suppression;
    if (!suppression.enter()) return {};
    PyObject* format;
    if (!py::intern<"format">(format)) return {};
    py::Ref text = frame.call_method(opts.value, format);
    suppression.exit();
    if (!require_str(text, "format()")) return {};
    return text;
}

// Calls the cached `format` on each child with one shared keyword set.
class ChildFormatter {
public:
    bool init(const FormatOptions& opts, PyObject* memo) {
        fn_ = format_fn();
        if (!fn_) return false;
        child_indent_ = ri_plus_one(opts.root_indent_or_default());
        if (!child_indent_) return false;
        ChildValues child(opts, child_indent_.get(), memo);
        // Without custom_format, the nested call of a plain scalar reads
        // nothing but the length limits, so its text is made here directly.
        plain_ = !opts.custom_format;
        max_str_len_ = opts.max_str_len;
        max_bytes_len_ = opts.max_bytes_len;
        PyObject* kwnames;
        return names::child(kwnames) &&
               frame_.build(kwnames, child.values, names::kChildCount, opts.extra);
    }
    [[nodiscard]] py::Ref format(PyObject* child) {
        if (plain_) {
            bool handled = false;
            py::Ref text = format_scalar(child, max_str_len_, max_bytes_len_, handled);
            if (handled) return text;
        }
        py::Ref text = frame_.call(fn_, child);
        if (!require_str(text, "format()")) return {};
        return text;
    }
    [[nodiscard]] PyObject* child_indent() const noexcept { return child_indent_.get(); }

private:
    PyObject* fn_ = nullptr;
    bool plain_ = false;
    PyObject* max_str_len_ = nullptr;
    PyObject* max_bytes_len_ = nullptr;
    py::Ref child_indent_;
    KwFrame frame_;
};

// The texts of the elements of a list or tuple, in iteration order.
bool format_elements(PyObject* seq, ChildFormatter& children, std::vector<py::Ref>& out) {
    auto take = [&](PyObject* element) {
        py::Ref text = children.format(element);
        if (!text) return false;
        out.push_back(std::move(text));
        return true;
    };
    PyTypeObject* type = Py_TYPE(seq);
    if (type == &PyList_Type) {
        // Formatting a child may run Python code that changes the list, so
        // each item is read under the list's lock and formatted after it.
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref item = py::list_item(seq, i);
            if (!item) return true;
            if (!take(item.get())) return false;
        }
    }
    if (type == &PyTuple_Type) {
        const Py_ssize_t n = PyTuple_GET_SIZE(seq);
        out.reserve(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!take(PyTuple_GET_ITEM(seq, i))) return false;
        return true;
    }
    // Subclasses may define their own iteration.
    py::Ref it = py::Ref::steal(PyObject_GetIter(seq));
    if (!it) return false;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get())))
        if (!take(item.get())) return false;
    return !PyErr_Occurred();
}

py::Ref format_sequence(const FormatOptions& opts, PyObject* memo, char open, char close) {
    ChildFormatter children;
    if (!children.init(opts, memo)) return {};
    std::vector<py::Ref> parts;
    if (!format_elements(opts.value, children, parts)) return {};

    Py_ssize_t total = 2;
    for (const py::Ref& p : parts) total += PyUnicode_GET_LENGTH(p.get());
    if (parts.size() > 1) total += 2 * static_cast<Py_ssize_t>(parts.size() - 1);

    int one_line = truth_if_given(opts.compact);
    if (one_line == 0) one_line = within_limit(total, opts.list_wrap_threshold_or_default());
    if (one_line < 0) return {};

    py::TextWriter out(total);
    if (!out.ok() || !out.ch(static_cast<unsigned char>(open))) return {};
    if (one_line) {
        bool first = true;
        for (const py::Ref& p : parts) {
            if (!first && !out.ascii(", ", 2)) return {};
            if (!out.text(p.get())) return {};
            first = false;
        }
    } else {
        if (!out.ch('\n')) return {};
        bool first = true;
        for (const py::Ref& p : parts) {
            if (!first && !out.ascii(",\n", 2)) return {};
            if (!write_indent(out, children.child_indent()) || !out.text(p.get())) return {};
            first = false;
        }
        if (!out.ch('\n') || !write_indent(out, opts.root_indent_or_default())) return {};
    }
    if (!out.ch(static_cast<unsigned char>(close))) return {};
    return out.finish();
}

struct DictItem {
    py::Ref key_text;
    py::Ref value_text;
};

// Reads entry after entry, each under the dict's lock, and formats it after
// the lock is released. A change of size or keys between entries is an
// error, as it is for the interpreter's own dict iteration.
bool format_entries(const FormatOptions& opts, ChildFormatter& children,
                    std::vector<DictItem>& out) {
    PyObject* include = nullptr;
    if (opts.include_keys) {
        const int truthy = PyObject_IsTrue(opts.include_keys);
        if (truthy < 0) return false;
        if (truthy) include = opts.include_keys;
    }
    const int exclude_active = truth_if_given(opts.exclude_keys);
    if (exclude_active < 0) return false;

    py::DictCursor cursor(opts.value);
    py::Ref key, value;
    int step;
    while ((step = cursor.next(key, value)) == 1) {
        if (include || exclude_active) {
            const int found = PySequence_Contains(include ? include : opts.exclude_keys, key.get());
            if (found < 0) return false;
            if (include ? !found : found) continue;
        }
        py::Ref value_text = children.format(value.get());
        if (!value_text) return false;
        py::Ref key_text = py::Ref::steal(PyObject_Repr(key.get()));
        if (!key_text) return false;
        out.push_back({std::move(key_text), std::move(value_text)});
    }
    return step == 0;
}

py::Ref format_dict(const FormatOptions& opts, PyObject* memo) {
    ChildFormatter children;
    if (!children.init(opts, memo)) return {};
    std::vector<DictItem> items;
    if (!format_entries(opts, children, items)) return {};

    int one_line = truth_if_given(opts.compact);
    if (one_line < 0) return {};
    one_line = one_line || items.empty();

    py::TextWriter out;
    if (!out.ok() || !out.ch('{')) return {};
    if (!one_line && !out.ch('\n')) return {};
    bool first = true;
    for (const DictItem& item : items) {
        if (!first && !out.ascii(one_line ? ", " : ",\n", 2)) return {};
        if (!one_line && !write_indent(out, children.child_indent())) return {};
        if (!out.text(item.key_text.get()) || !out.ascii(": ", 2) ||
            !out.text(item.value_text.get()))
            return {};
        first = false;
    }
    if (!one_line && (!out.ch('\n') || !write_indent(out, opts.root_indent_or_default())))
        return {};
    if (!out.ch('}')) return {};
    return out.finish();
}

// Any other value: custom_format (asked again here), else str or repr, with
// the object address stripped on request. Foreign code runs with the
// package's markdown quoting suppressed.
py::Ref format_other(const FormatOptions& opts) {
    MarkdownSuppression suppression;
    if (!suppression.enter()) return {};
    py::Ref text;
    if (opts.custom_format) {
        bool failed = false;
        text = call_custom_format(opts, failed);
        if (failed) return {};
    }
    if (!text) {
        const int compact = truth_if_given(opts.compact);
        if (compact < 0) return {};
        text = py::Ref::steal(compact ? PyObject_Repr(opts.value) : PyObject_Str(opts.value));
        if (!text) return {};
    }
    const int strip = truth_if_given(opts.strip_object_id);
    if (strip < 0) return {};
    if (strip) {
        py::Ref needle = py::Ref::steal(PyUnicode_FromString("object at 0x"));
        if (!needle) return {};
        const int found = PyUnicode_Contains(text.get(), needle.get());
        if (found < 0) return {};
        if (found) {
            py::Ref name = class_name(opts.value);
            if (!name) return {};
            text = py::Ref::steal(PyUnicode_FromFormat("%U(...)", name.get()));
        }
    }
    suppression.exit();
    return text;
}

}  // namespace

py::Ref format_hierarchy(const FormatOptions& opts, PyObject* memo) {
    PyObject* value = opts.value;
    PyTypeObject* type = Py_TYPE(value);
    // The built-in containers themselves can never carry the marker.
    if (type != &PyList_Type && type != &PyTuple_Type && type != &PyDict_Type) {
        const int formattable = is_formattable(value);
        if (formattable < 0) return {};
        if (formattable) return format_formattable(opts, memo);
    }
    if (PyList_Check(value)) return format_sequence(opts, memo, '[', ']');
    if (PyTuple_Check(value)) return format_sequence(opts, memo, '(', ')');
    if (PyDict_Check(value)) return format_dict(opts, memo);
    return format_other(opts);
}

}  // namespace vesk::formatting
