// `kvlist_str`: key/value items laid out as "key=value" pairs, optionally
// after a label inside brackets, on one line or one item per line. Every
// value is formatted through the module's own `format`.
#include "formatting/kvlist.hpp"

#include "formatting/cache.hpp"
#include "formatting/format.hpp"
#include "formatting/kw_frame.hpp"
#include "formatting/names.hpp"
#include "formatting/text.hpp"
#include "py/critical_section.hpp"

namespace vesk::formatting {

namespace {

py::Params kKvlistParams{
    "kvlist_str",
    {"kvlist", "compact", "verbose", "root_indent", "label", "bracket_type", "custom_format",
     "memo"},
    4,
    1,
    py::Keywords::Collect};

struct KvlistOptions {
    PyObject* kvlist = nullptr;
    PyObject* compact = nullptr;
    PyObject* verbose = nullptr;
    PyObject* root_indent = nullptr;
    PyObject* label = nullptr;  // None counts as omitted, as for the two below
    PyObject* bracket_type = nullptr;
    PyObject* custom_format = nullptr;
    PyObject* memo = nullptr;
    py::ExtraKeywords extra;

    bool parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        py::Args<8> a;
        if (!py::parse(kKvlistParams, args, nargs, kwnames, a)) return false;
        extra = a.take_extra();
        auto none_as_omitted = [](PyObject* o) { return o == Py_None ? nullptr : o; };
        kvlist = a[0];
        compact = a[1];
        verbose = a[2];
        root_indent = a[3];
        label = none_as_omitted(a[4]);
        bracket_type = a[5];
        custom_format = none_as_omitted(a[6]);
        memo = none_as_omitted(a[7]);
        return true;
    }
};

constexpr char kOpen[] = {'(', '[', '{'};
constexpr char kClose[] = {')', ']', '}'};

// The bracket pair selected by `bracket_type`: 0 when omitted, negative
// indices count from the end, and a non-int goes through int() first.
int bracket_index(PyObject* bracket_type) {
    if (!bracket_type) return 0;
    py::Ref number;
    PyObject* index = bracket_type;
    if (!PyLong_Check(index)) {
        number = py::Ref::steal(PyNumber_Long(bracket_type));
        if (!number) return -1;
        index = number.get();
    }
    auto v = as_i64(index);
    if (v && *v < 0) *v += 3;
    if (!v || *v < 0 || *v > 2) {
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return -1;
    }
    return static_cast<int>(*v);
}

// item[i] for any indexable item; an item too short raises its own error.
py::Ref item_at(PyObject* item, Py_ssize_t i) {
    if (PyTuple_CheckExact(item) && i < PyTuple_GET_SIZE(item))
        return py::Ref::borrow(PyTuple_GET_ITEM(item, i));
    PySequenceMethods* seq = Py_TYPE(item)->tp_as_sequence;
    if (seq && seq->sq_item) return py::Ref::steal(PySequence_GetItem(item, i));
    py::Ref index = py::Ref::steal(PyLong_FromSsize_t(i));
    if (!index) return {};
    return py::Ref::steal(PyObject_GetItem(item, index.get()));
}

// Whether the item is left out: any element of a tuple omit-when equals the
// value (element on the left, as `in` compares), or the value equals a
// non-tuple omit-when (value on the left).
int is_omitted(PyObject* value, PyObject* omit_when) {
    if (PyTuple_Check(omit_when)) {
        const Py_ssize_t n = PyTuple_GET_SIZE(omit_when);
        for (Py_ssize_t i = 0; i < n; ++i) {
            const int eq = PyObject_RichCompareBool(PyTuple_GET_ITEM(omit_when, i), value, Py_EQ);
            if (eq != 0) return eq;
        }
        return 0;
    }
    py::Ref eq = py::Ref::steal(PyObject_RichCompare(value, omit_when, Py_EQ));
    return eq ? PyObject_IsTrue(eq.get()) : -1;
}

class Body {
public:
    Body(const KvlistOptions& opts, bool compact, PyObject* child_level, PyObject* fn, KwFrame& frame)
        : opts_(opts), compact_(compact), child_level_(child_level), fn_(fn), frame_(frame) {}

    [[nodiscard]] bool ok() const noexcept { return out_.ok(); }
    [[nodiscard]] bool empty() const noexcept { return kept_ == 0; }

    // Appends one item unless its omit-when rule leaves it out.
    [[nodiscard]] bool add(PyObject* item) {
        py::Ref key = item_at(item, 0);
        if (!key) return false;
        py::Ref value = item_at(item, 1);
        if (!value) return false;
        py::Ref omit_when = item_at(item, 2);
        if (!omit_when) return false;
        const int omitted = is_omitted(value.get(), omit_when.get());
        if (omitted != 0) return omitted > 0;

        if (kept_++ > 0 && !out_.ascii(compact_ ? ", " : ",\n", 2)) return false;
        if (!compact_ && !write_indent(out_, child_level_)) return false;
        const int named = PyObject_IsTrue(key.get());
        if (named < 0) return false;
        if (named && (!out_.str(key.get()) || !out_.ch('='))) return false;
        py::Ref text = value_text(value.get());
        return text && out_.str(text.get());
    }

    [[nodiscard]] py::Ref finish() { return out_.finish(); }

private:
    // format(value, **kw), then custom_format(result, child level) when given;
    // the writer applies the final str(). Without custom_format or extra
    // keywords nothing in `kw` can change the text of a plain scalar, so it
    // is made here without the call.
    py::Ref value_text(PyObject* value) {
        if (!opts_.custom_format && opts_.extra.empty()) {
            bool handled = false;
            py::Ref text = format_scalar(value, nullptr, nullptr, handled);
            if (handled) return text;
        }
        py::Ref formatted = frame_.call(fn_, value);
        if (!formatted || !opts_.custom_format) return formatted;
        PyObject* args[2] = {formatted.get(), child_level_};
        py::Ref custom = py::Ref::steal(PyObject_Vectorcall(opts_.custom_format, args, 2, nullptr));
        if (!custom) return {};
        return custom.get() == Py_None ? formatted : custom;
    }

    const KvlistOptions& opts_;
    bool compact_;
    PyObject* child_level_;
    PyObject* fn_;
    KwFrame& frame_;
    py::TextWriter out_;
    Py_ssize_t kept_ = 0;
};

bool add_items(PyObject* kvlist, Body& body) {
    if (PyList_CheckExact(kvlist)) {
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref item = py::list_item(kvlist, i);
            if (!item) return true;
            if (!body.add(item.get())) return false;
        }
    }
    py::Ref it = py::Ref::steal(PyObject_GetIter(kvlist));
    if (!it) return false;
    while (py::Ref item = py::Ref::steal(PyIter_Next(it.get())))
        if (!body.add(item.get())) return false;
    return !PyErr_Occurred();
}

py::Ref kvlist_str(const KvlistOptions& opts) {
    PyObject* fn = format_fn();
    if (!fn) return {};
    int compact = 1;
    if (opts.compact && (compact = PyObject_IsTrue(opts.compact)) < 0) return {};
    // The level and verbosity in force are `root_indent or 0` and
    // `verbose or False`: an explicit None (as `format` hands on) counts as
    // the default, and so does any other falsy value.
    const int indented = truth_if_given(opts.root_indent);
    if (indented < 0) return {};
    PyObject* root_indent = opts.root_indent;
    if (!indented && !py::constant_int<0>(root_indent)) return {};
    const int verbose = truth_if_given(opts.verbose);
    if (verbose < 0) return {};

    int labelled = 0;
    if (opts.label && (labelled = PyObject_IsTrue(opts.label)) < 0) return {};
    py::Ref child_level = labelled ? ri_plus_one(root_indent) : py::Ref::borrow(root_indent);
    if (!child_level) return {};

    PyObject* values[names::kKvlistChildCount] = {
        opts.compact ? opts.compact : Py_True,
        verbose ? opts.verbose : Py_False,
        child_level.get(),
        opts.custom_format ? opts.custom_format : Py_None,
        opts.memo ? opts.memo : Py_None,
    };
    KwFrame frame;
    PyObject* kwnames;
    if (!names::kvlist_child(kwnames) ||
        !frame.build(kwnames, values, names::kKvlistChildCount, opts.extra))
        return {};

    Body body(opts, compact != 0, child_level.get(), fn, frame);
    if (!body.ok() || !add_items(opts.kvlist, body)) return {};
    py::Ref text = body.finish();
    if (!text || !opts.label) return text;

    const int bracket = bracket_index(opts.bracket_type);
    if (bracket < 0) return {};
    py::TextWriter out;
    if (!out.ok() || !out.str(opts.label) || !out.ch(static_cast<unsigned char>(kOpen[bracket])))
        return {};
    if (!body.empty()) {
        if (compact) {
            if (!out.str(text.get())) return {};
        } else if (!out.ch('\n') || !out.str(text.get()) || !out.ch('\n') ||
                   !write_indent(out, root_indent)) {
            return {};
        }
    }
    if (!out.ch(static_cast<unsigned char>(kClose[bracket]))) return {};
    return out.finish();
}

}  // namespace

PyObject* kvlist_str_entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    KvlistOptions opts;
    if (!opts.parse(args, nargs, kwnames)) return nullptr;
    return kvlist_str(opts).release();
}

}  // namespace vesk::formatting
