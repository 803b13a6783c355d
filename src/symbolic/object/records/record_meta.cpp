#include "symbolic/object/records/record_meta.hpp"

#include "kernel/record/names.hpp"
#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/lazy.hpp"
#include "py/named.hpp"
#include "py/type.hpp"

#include <vector>

namespace vesk::symbolic::object {

namespace {

py::TypeCell TYPE;

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

// A new list holding the str items of the list `value`.
py::Ref str_list(const char* attr, PyObject* value) {
    std::vector<py::Ref> items;
    if (!kernel::record::arg_str_list(attr, value, items)) return {};
    py::Ref out = py::Ref::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
    if (!out) return {};
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return out;
}

// The truth of `obj.Name`: 1, 0 or -1.
template <py::Literal Name>
int truth_of(PyObject* obj) {
    py::Ref value = py::get_attr<Name>(obj);
    return value ? PyObject_IsTrue(value.get()) : -1;
}

// Reads the facts of a record class; `names` is its `__slot_field_names__`.
bool read_facts(PyObject* cls, PyObject* names, RecordFacts& out) {
    out.slot_field_names = str_list("__slot_field_names__", names);
    if (!out.slot_field_names) return false;
    out.symbolic_names_attr = py::get_attr<"__slot_symbolic_field_names__">(cls);
    if (!out.symbolic_names_attr) return false;
    out.symbolic_field_names =
        str_list("__slot_symbolic_field_names__", out.symbolic_names_attr.get());
    if (!out.symbolic_field_names) return false;
    out.sym_fields = py::get_attr<"sym_fields">(cls);
    if (!out.sym_fields) return false;
    out.schema = py::get_attr<"schema">(out.sym_fields.get());
    if (!out.schema) return false;
    const int topo = truth_of<"enable_topo">(cls);
    if (topo < 0) return false;
    py::Ref options = py::get_attr<"__sym_options__">(cls);
    if (!options) return false;
    const int attr_write = truth_of<"attr_write">(options.get());
    if (attr_write < 0) return false;
    const int frozen = truth_of<"frozen">(options.get());
    if (frozen < 0) return false;
    out.enable_topo = topo != 0;
    out.attr_write = attr_write != 0;
    out.frozen = frozen != 0;
    out.compiled = compile_record(cls, out.schema.get(), out.slot_field_names.get(),
                                  out.symbolic_field_names.get());
    return true;
}

}  // namespace

bool facts_intact(const RecordFacts& facts) {
    // Cleared by the collector while its class is being freed.
    if (!facts.slot_field_names || !facts.symbolic_field_names || !facts.schema) {
        PyErr_SetString(PyExc_RuntimeError, "record metadata was cleared with its class");
        return false;
    }
    return true;
}

namespace {

// The facts of a meta object.
bool copy_facts(PyObject* meta, RecordFacts& out) {
    py::Shared<RecordFacts> held(meta);
    if (!held || !facts_intact(*held)) return false;
    out = *held;
    return true;
}

// The entry cached in the class's own `__dict__` (never an inherited one):
// 1 with `out` set, 0 when absent, -1.
int cached_meta(PyObject* cls, py::Ref& out) {
    py::Ref own = py::Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)));
    if (!own) return -1;
    PyObject* name;
    if (!py::intern<"__native_record_meta__">(name)) return -1;
    PyObject* hit = nullptr;
    if (PyDict_GetItemRef(own.get(), name, &hit) < 0) return -1;
    out = py::Ref::steal(hit);
    if (!out) return 0;
    PyTypeObject* type = record_meta_type();
    return type && py::expect_instance(out.get(), type) ? 1 : -1;
}

}  // namespace

PyTypeObject* record_meta_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.RecordMeta")
            .doc("The class-stable facts of one record class, read once and cached on the "
                 "class.")
            .state<RecordFacts>()
            .slots({py::slot<Py_tp_new, refuse_new>()});
    });
}

int record_meta_object(PyObject* cls, py::Ref& meta) {
    if (!PyType_Check(cls)) {
        py::raise_arg_type("cls", "a type", cls);
        return -1;
    }
    const int cached = cached_meta(cls, meta);
    if (cached != 0) return cached;
    py::Ref names;
    const int has = py::get_optional_attr<"__slot_field_names__">(cls, names);
    if (has <= 0) return has;
    PyTypeObject* type = record_meta_type();
    if (!type) return -1;
    py::Ref made = py::alloc<RecordFacts>(type);
    if (!made) return -1;
    // Filled before any other thread can see it.
    if (!read_facts(cls, names.get(), py::state<RecordFacts>(made.get()))) return -1;
    // Two threads that both missed may both store; the later store stays,
    // and both metas hold equal facts.
    PyObject* name;
    if (!py::intern<"__native_record_meta__">(name) ||
        PyObject_SetAttr(cls, name, made.get()) < 0)
        return -1;
    // Storing the meta changed the class: the tag that the compiled record
    // trusts is the one the class carries from now on.
    if (const auto& compiled = py::state<RecordFacts>(made.get()).compiled)
        stamp_type_tag(cls, *compiled);
    meta = std::move(made);
    return 1;
}

int record_meta(PyObject* cls, RecordFacts& out) {
    py::Ref meta;
    const int found = record_meta_object(cls, meta);
    if (found <= 0) return found;
    return copy_facts(meta.get(), out) ? 1 : -1;
}

bool required_record_meta_object(PyObject* cls, py::Ref& meta) {
    const int found = record_meta_object(cls, meta);
    if (found != 0) return found > 0;
    py::Ref names = py::get_attr<"__slot_field_names__">(cls);
    if (!names) return false;
    const int again = record_meta_object(cls, meta);
    if (again != 0) return again > 0;
    PyErr_SetString(PyExc_RuntimeError, "__slot_field_names__ vanished during record_meta build");
    return false;
}

bool required_record_meta(PyObject* cls, RecordFacts& out) {
    py::Ref meta;
    return required_record_meta_object(cls, meta) && copy_facts(meta.get(), out);
}

}  // namespace vesk::symbolic::object
