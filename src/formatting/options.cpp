#include "formatting/options.hpp"

namespace vesk::formatting {

namespace {

py::Params kFormatParams{
    "format",
    {"value", "compact", "verbose", "root_indent", "list_wrap_threshold", "strip_object_id",
     "include_keys", "exclude_keys", "markdown", "max_str_len", "max_bytes_len", "custom_format",
     "memo"},
    11,
    1,
    py::Keywords::Collect};

PyObject* none_as_omitted(PyObject* arg) noexcept { return arg == Py_None ? nullptr : arg; }

}  // namespace

bool FormatOptions::parse(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<13> a;
    if (!py::parse(kFormatParams, args, nargs, kwnames, a)) return false;
    if (!py::constant_int<0>(default_root_indent) ||
        !py::constant_int<80>(default_list_wrap_threshold))
        return false;
    extra = a.take_extra();
    value = a[0];
    compact = a[1];
    verbose = a[2];
    root_indent = a[3];
    list_wrap_threshold = a[4];
    strip_object_id = a[5];
    include_keys = none_as_omitted(a[6]);
    exclude_keys = none_as_omitted(a[7]);
    markdown = a[8];
    max_str_len = none_as_omitted(a[9]);
    max_bytes_len = none_as_omitted(a[10]);
    custom_format = none_as_omitted(a[11]);
    memo = none_as_omitted(a[12]);
    return true;
}

py::Ref call_custom_format(const FormatOptions& opts, bool& failed) {
    PyObject* args[2] = {opts.value, opts.root_indent_or_default()};
    py::Ref result = py::Ref::steal(PyObject_Vectorcall(opts.custom_format, args, 2, nullptr));
    failed = !result;
    if (!result || result.get() == Py_None) return {};
    py::Ref text = py::Ref::steal(PyObject_Str(result.get()));
    failed = !text;
    return text;
}

ChildValues::ChildValues(const FormatOptions& opts, PyObject* root_indent, PyObject* memo) noexcept
    : values{opts.compact_or_default(),
             opts.verbose_or_default(),
             root_indent,
             opts.list_wrap_threshold_or_default(),
             opts.strip_object_id_or_default(),
             opts.max_str_len ? opts.max_str_len : Py_None,
             opts.max_bytes_len ? opts.max_bytes_len : Py_None,
             opts.custom_format ? opts.custom_format : Py_None,
             memo,
             nullptr,
             nullptr} {}

}  // namespace vesk::formatting
