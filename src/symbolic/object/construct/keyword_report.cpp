#include "symbolic/object/construct/keyword_report.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "symbolic/object_bridge.hpp"

namespace vesk::symbolic::object {

namespace {

// `auto_plural(count, "argument")` and `comma_delimited_str(names)`.
bool wording(PyObject* names, py::Ref& count, py::Ref& plural, py::Ref& listed) {
    const ObjectBridge* b = object_bridge();
    if (!b) return false;
    count = py::Ref::steal(PyLong_FromSsize_t(PyList_GET_SIZE(names)));
    if (!count) return false;
    PyObject* word;
    if (!py::intern<"argument">(word)) return false;
    plural = py::Ref::steal(
        PyObject_CallFunctionObjArgs(b->auto_plural.get(), count.get(), word, nullptr));
    if (!plural) return false;
    listed = py::Ref::steal(PyObject_CallOneArg(b->comma_delimited_str.get(), names));
    return static_cast<bool>(listed);
}

py::Ref class_name(PyObject* cls) { return py::get_attr<"__name__">(cls); }

}  // namespace

int raise_reserved_alias(PyObject* cls, PyObject* keyword, PyObject* field) {
    py::Ref name = class_name(cls);
    if (name)
        PyErr_Format(PyExc_TypeError,
                     "%S.__init__() got keyword argument '%S', which is reserved as the alias "
                     "of field '%S'.",
                     name.get(), keyword, field);
    return -1;
}

py::Ref without_keys(PyObject* kwargs, PyObject* dropped) {
    py::Ref copy = py::Ref::steal(PyDict_Copy(kwargs));
    if (!copy) return {};
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref key = py::list_item(dropped, i);
        if (!key) return copy;
        if (PyDict_DelItem(copy.get(), key.get()) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return {};
            PyErr_Clear();
        }
    }
}

int report_unexpected_keywords(PyObject* cls, PyObject* names) {
    py::Ref ignore = py::get_attr<"__extra_ignore__">(cls);
    if (!ignore) return -1;
    const int ignored = PyObject_IsTrue(ignore.get());
    if (ignored < 0) return -1;
    if (ignored) {
        py::Ref maps = py::get_attr<"_sym_alias_maps">(cls);
        if (!maps) return -1;
        if (maps.get() == Py_None) return 0;
        py::Ref aliases = py::Ref::steal(PySequence_GetItem(maps.get(), 0));
        if (!aliases) return -1;
        if (!PyDict_Check(aliases.get())) {
            py::raise_not_instance(aliases.get(), "dict");
            return -1;
        }
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref keyword = py::list_item(names, i);
            if (!keyword) return 0;
            if (!PyUnicode_Check(keyword.get())) continue;
            PyObject* field = nullptr;
            if (PyDict_GetItemRef(aliases.get(), keyword.get(), &field) < 0) return -1;
            py::Ref held = py::Ref::steal(field);
            if (held) return raise_reserved_alias(cls, keyword.get(), held.get());
        }
    }
    py::Ref count, plural, listed;
    if (!wording(names, count, plural, listed)) return -1;
    py::Ref name = class_name(cls);
    if (name)
        PyErr_Format(PyExc_TypeError, "%S.__init__() got unexpected keyword %S: %S", name.get(),
                     plural.get(), listed.get());
    return -1;
}

}  // namespace vesk::symbolic::object
