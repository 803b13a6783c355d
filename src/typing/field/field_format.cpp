// The text form of a Field: thirteen named items, each left out at its
// default, laid out by the formatting service under the label "Field".
#include "typing/field/field.hpp"
#include "typing/field/field_ops.hpp"

#include "py/lazy.hpp"
#include "typing/text_form.hpp"

namespace vesk::typing::field {

namespace {

py::Ref field_items(const FieldMembers& s) {
    py::Ref items = py::Ref::steal(PyList_New(0));
    py::Ref empty = py::Ref::steal(PyDict_New());
    if (!items || !empty) return {};
    PyObject* list = items.get();
    const bool ok =
        add_text_item(list, "key", s.key.get(), Py_None) &&
        add_text_item(list, "value", s.value.get(), Py_None) &&
        add_text_item(list, "description", s.description.get(), Py_None) &&
        add_text_item(list, "metadata", s.metadata.get(), empty.get()) &&
        add_text_item(list, "origin", s.origin.get(), Py_None) &&
        add_text_item(list, "enable_repr", tri_object(s.enable_repr), Py_None) &&
        add_text_item(list, "enable_compare", tri_object(s.enable_compare), Py_None) &&
        add_text_item(list, "enable_hash", tri_object(s.enable_hash), Py_None) &&
        add_text_item(list, "enable_init", s.enable_init ? Py_True : Py_False, Py_True) &&
        add_text_item(list, "enable_clone", tri_object(s.enable_clone), Py_None) &&
        add_text_item(list, "enable_validation", tri_object(s.enable_validation), Py_None) &&
        add_text_item(list, "validator", s.validator.get(), Py_None) &&
        add_text_item(list, "alias", s.alias.get(), Py_None);
    return ok ? items : py::Ref();
}

// The shared hold is kept while `kvlist_str` formats the members, so a
// member's own `format` may read the field but not change it.
PyObject* format_field(const Reading& self, const py::ExtraKeywords& extra,
                       const TextOptions& options) {
    PyObject* label;
    if (!py::intern<"Field">(label)) return nullptr;
    py::Ref items = field_items(*self);
    if (!items) return nullptr;
    return kvlist_text(items.get(), extra, label, nullptr, options).release();
}

PyObject* display(const Reading& self, bool compact) {
    py::ExtraKeywords extra;
    TextOptions options;
    return display_options(compact, extra, options) ? format_field(self, extra, options) : nullptr;
}

}  // namespace

py::Params<3> kFormatParams{"format", {"compact=False", "verbose=True", "root_indent=0"}, 3, 0,
                            py::Keywords::Collect};

PyObject* field_format(const Reading& self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kFormatParams, args, nargs, kwnames, a)) return nullptr;
    TextOptions options;
    if (!text_options(a[0], a[1], a[2], options)) return nullptr;
    return format_field(self, a.extra(), options);
}

PyObject* field_str(const Reading& self) { return display(self, false); }
PyObject* field_repr(const Reading& self) { return display(self, true); }

}  // namespace vesk::typing::field
