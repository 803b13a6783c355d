#include "symbolic/object/write_class.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"

namespace vesk::symbolic::object {

namespace {

// Item `i` of an init-field entry.
py::Ref entry_item(PyObject* entry, Py_ssize_t i) {
    return py::Ref::steal(PySequence_GetItem(entry, i));
}

}  // namespace

bool write_class_facts(PyObject* cls, WriteClassFacts& out) {
    py::Ref options = py::get_attr<"__sym_options__">(cls);
    py::Ref topo = options ? py::get_attr<"topo">(options.get()) : py::Ref();
    if (!topo || !py::arg_bool_scalar("topo", topo.get(), out.topo)) return false;
    out.schema = py::get_attr<"__schema__">(cls);
    return static_cast<bool>(out.schema);
}

int public_init_field(PyObject* cls, PyObject* name, py::Ref& out) {
    out.reset();
    py::Ref fields = py::get_attr<"_sym_init_fields">(cls);
    if (!fields) return -1;
    if (fields.get() == Py_None || !is_public_name(name)) return 0;
    py::Ref it = py::Ref::steal(PyObject_GetIter(fields.get()));
    if (!it) return -1;
    // A later entry of the same name replaces an earlier one.
    while (py::Ref entry = py::Ref::steal(PyIter_Next(it.get()))) {
        py::Ref key = entry_item(entry.get(), 0);
        if (!key) return -1;
        if (!PyUnicode_Check(key.get())) {
            py::raise_arg_type("name", "str", key.get());
            return -1;
        }
        const int same = PyUnicode_Compare(key.get(), name) == 0;
        if (!same) continue;
        out = entry_item(entry.get(), 1);
        if (!out) return -1;
    }
    if (PyErr_Occurred()) return -1;
    return out ? 1 : 0;
}

}  // namespace vesk::symbolic::object
