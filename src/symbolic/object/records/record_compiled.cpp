#include "symbolic/object/records/record_compiled.hpp"

#include "py/named.hpp"
#include "typing/field/field.hpp"
#include "typing/schema/schema.hpp"

#include <atomic>

namespace vesk::symbolic::object {

namespace {

// The position of the exact str `name` in `index`, or -1 when absent.
Py_ssize_t position(PyObject* index, PyObject* name) {
    PyObject* hit = PyDict_GetItemWithError(index, name);
    return hit ? PyLong_AsSsize_t(hit) : -1;
}

bool compile_fields(PyObject* schema, RecordCompiled& out) {
    if (!typing::schema::is_schema(schema)) return false;
    typing::schema::SchemaMetaRef meta = typing::schema::schema_meta(schema);
    if (!meta || meta->has_nonconst) return false;
    out.schema_meta = meta;
    out.index = py::Ref::steal(PyDict_New());
    if (!out.index) return false;
    for (const py::Ref& f : meta->const_fields) {
        if (!typing::field::is_field(f.get())) return false;
        RecordField rf;
        rf.field = f;
        // Read before the record is taken: a change in between moves it on,
        // and construction then never trusts the record.
        rf.generation = typing::field::meta_generation(f.get());
        rf.meta = typing::field::field_meta(f.get());
        if (!rf.meta || !rf.meta->const_text || !PyUnicode_CheckExact(rf.meta->const_text.get()))
            return false;
        rf.key = rf.meta->const_text;
        if (PyDict_Contains(out.index.get(), rf.key.get()) != 0) return false;
        py::Ref at = py::Ref::steal(PyLong_FromSsize_t(static_cast<Py_ssize_t>(out.fields.size())));
        if (!at || PyDict_SetItem(out.index.get(), rf.key.get(), at.get()) < 0) return false;
        out.fields.push_back(std::move(rf));
    }
    return true;
}

// Each name of the list `names` as its field's position, into `out`; every
// name must be an exact str naming an init field. `distinct` refuses a
// repeated name.
bool positions(PyObject* index, PyObject* names, bool distinct, std::vector<Py_ssize_t>& out) {
    const Py_ssize_t n = PyList_GET_SIZE(names);
    std::vector<bool> seen;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = PyList_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name)) return false;
        const Py_ssize_t at = position(index, name);
        if (at < 0) return false;
        if (distinct) {
            if (seen.empty()) seen.resize(static_cast<std::size_t>(PyDict_GET_SIZE(index)));
            if (seen[static_cast<std::size_t>(at)]) return false;
            seen[static_cast<std::size_t>(at)] = true;
        }
        out.push_back(at);
    }
    return true;
}

bool compile_class(PyObject* cls, RecordCompiled& out) {
    out.options = py::get_attr<"__sym_options__">(cls);
    if (!out.options) return false;
    out.non_symbolic_fields = py::get_attr<"_non_symbolic_fields">(cls);
    if (!out.non_symbolic_fields) return false;
    out.post_init_is_noop = py::get_attr<"_sym_post_init_is_noop">(cls);
    if (!out.post_init_is_noop) return false;
    out.offsets = py::get_attr<"__slot_field_offsets__">(cls);
    return out.offsets && PyDict_Check(out.offsets.get());
}

}  // namespace

bool caches_meta(PyObject* field, const typing::field::FieldMeta* meta) noexcept {
    return typing::field::cached_meta_unlocked(field) == meta;
}

RecordCompiledRef compile_record(PyObject* cls, PyObject* schema, PyObject* slot_field_names,
                                 PyObject* symbolic_field_names) {
    auto out = std::make_shared<RecordCompiled>();
    bool ok = compile_fields(schema, *out) &&
              PyList_GET_SIZE(slot_field_names) == static_cast<Py_ssize_t>(out->fields.size()) &&
              positions(out->index.get(), slot_field_names, true, out->slot_order) &&
              compile_class(cls, *out);
    if (ok && !PyErr_Occurred()) {
        out->symbolic_are_fields =
            positions(out->index.get(), symbolic_field_names, false, out->symbolic);
        if (!out->symbolic_are_fields) out->symbolic.clear();
    }
    // Whatever failed here fails again, unchanged, on the long road.
    if (PyErr_Occurred()) {
        PyErr_Clear();
        ok = false;
    }
    return ok ? RecordCompiledRef(std::move(out)) : nullptr;
}

namespace {

// Whether the class attributes compiled into `c` are still the very objects
// the class gives.
bool class_reads_unchanged(PyObject* cls, const RecordCompiled& c) {
    RecordCompiled now;
    const bool same = compile_class(cls, now) && now.options.get() == c.options.get() &&
                      now.non_symbolic_fields.get() == c.non_symbolic_fields.get() &&
                      now.post_init_is_noop.get() == c.post_init_is_noop.get() &&
                      now.offsets.get() == c.offsets.get();
    PyErr_Clear();
    return same;
}

}  // namespace

void stamp_type_tag(PyObject* cls, const RecordCompiled& compiled) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyUnstable_Type_AssignVersionTag(type)) return;
    const unsigned int tag =
        std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed);
    // The tag guards only against changes after it was read: one made after
    // the class was compiled (code that compiling or storing the meta ran,
    // or another thread) is caught by reading the attributes once more, and
    // the record is then never trusted.
    if (!class_reads_unchanged(cls, compiled)) return;
    compiled.type_tag.store(tag, std::memory_order_release);
}

bool type_unchanged(PyObject* cls, const RecordCompiled& compiled) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    const unsigned int stamped = compiled.type_tag.load(std::memory_order_acquire);
    return stamped != 0 &&
           std::atomic_ref<unsigned int>(type->tp_version_tag).load(std::memory_order_relaxed) ==
               stamped;
}

}  // namespace vesk::symbolic::object
