// The text form of a schema: its name, description, fields, key policy and
// metadata laid out by the formatting service, each left out at its default;
// every field renders through its own `format`.
#include "typing/schema/schema_ops.hpp"

#include "py/args.hpp"
#include "typing/text_form.hpp"

namespace vesk::typing::schema {

namespace {

py::Ref schema_items(const SchemaState& s) {
    py::Ref items = py::Ref::steal(PyList_New(0));
    py::Ref fields = py::Ref::steal(PyDict_Values(s.fields.get()));
    py::Ref no_fields = py::Ref::steal(PyList_New(0));
    py::Ref no_metadata = py::Ref::steal(PyDict_New());
    if (!items || !fields || !no_fields || !no_metadata) return {};
    PyObject* list = items.get();
    const bool ok =
        add_text_item(list, "name", s.name.get(), Py_None) &&
        add_text_item(list, "description", s.description.get(), Py_None) &&
        add_text_item(list, "fields", fields.get(), no_fields.get()) &&
        add_text_item(list, "allow_nonconst_keys", s.allow_nonconst_keys ? Py_True : Py_False,
                      Py_True) &&
        add_text_item(list, "metadata", s.metadata.get(), no_metadata.get());
    return ok ? items : py::Ref();
}

// Held shared while the fields format themselves: they may read the schema
// but not change it.
PyObject* format_schema(const Reading& self, const py::ExtraKeywords& extra, PyObject* label,
                        PyObject* bracket_type, const TextOptions& options) {
    py::Ref items = schema_items(*self);
    if (!items) return nullptr;
    return kvlist_text(items.get(), extra, label, bracket_type, options).release();
}

PyObject* display(const Reading& self, bool compact) {
    PyObject* label;
    py::ExtraKeywords extra;
    TextOptions options;
    if (!py::intern<"Schema">(label) || !display_options(compact, extra, options)) return nullptr;
    return format_schema(self, extra, label, nullptr, options);
}

PyObject* given(PyObject* value) noexcept { return value && value != Py_None ? value : nullptr; }

}  // namespace

py::Params<6> kFormatParams{"format",
                            {"compact=False", "verbose=True", "root_indent=0", "cls_name=None",
                             "bracket_type=None", "fields_only=False"},
                            6,
                            0,
                            py::Keywords::Collect};

PyObject* schema_format(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    py::Args<6> a;
    if (!py::parse(kFormatParams, args, nargs, kwnames, a)) return nullptr;
    TextOptions options;
    bool fields_only = false;  // accepted for callers that pass it; the text is the same
    if (!text_options(a[0], a[1], a[2], options) ||
        !py::opt_bool("fields_only", a[5], false, fields_only))
        return nullptr;
    PyObject* label = given(a[3]);
    if (!label && !py::intern<"Schema">(label)) return nullptr;
    return format_schema(self, a.extra(), label, given(a[4]), options);
}

PyObject* schema_str(const Reading& self) { return display(self, false); }
PyObject* schema_repr(const Reading& self) { return display(self, true); }

}  // namespace vesk::typing::schema
