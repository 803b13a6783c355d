#include "kernel/record/heap_type.hpp"

#include "kernel/record/field_getset.hpp"
#include "kernel/record/gc.hpp"
#include "kernel/record/layout.hpp"
#include "kernel/record/names.hpp"
#include "kernel/record/quote.hpp"
#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/type.hpp"

#include <climits>
#include <vector>

namespace vesk::kernel::record {

constexpr const char* kMakeNames[] = {"name", "field_names", "reserved_count",
                                      "enable_topo=True"};
py::Params<4> kMakeRecordParams{"_kernel_make_record", kMakeNames, 4, 3};
constexpr const char* kSubtypeNames[] = {"base", "name", "field_names", "reserved_count",
                                         "enable_topo=True"};
py::Params<5> kMakeSubtypeParams{"_kernel_make_record_subtype", kSubtypeNames, 5, 4};
py::Params<0> kRecordLayoutParams{"_kernel_record_layout"};
py::Params<0> kTopologyReservedParams{"_kernel_topology_reserved"};

namespace {

// One builder call, its arguments converted.
struct Request {
    PyTypeObject* base = nullptr;  // null: a root record over `object`
    PyObject* name = nullptr;
    std::vector<py::Ref> fields;
    std::uint64_t reserved = 0;
    bool enable_topo = true;
};

// (name, field_names, reserved_count, enable_topo); `enable_topo` null
// when omitted.
bool convert(PyObject* name, PyObject* fields, PyObject* reserved, PyObject* enable_topo,
             Request& out) {
    out.name = name;
    return py::arg_str("name", name) && arg_str_list("field_names", fields, out.fields) &&
           py::arg_u64("reserved_count", reserved, out.reserved) &&
           (!enable_topo || py::arg_bool_scalar("enable_topo", enable_topo, out.enable_topo));
}

bool raise_interior_nul() {
    PyErr_SetString(PyExc_ValueError, "name and field names must not contain interior nul bytes");
    return false;
}

[[nodiscard]] bool contains_char(PyObject* s, Py_UCS4 ch) {
    return PyUnicode_FindChar(s, ch, 0, PyUnicode_GET_LENGTH(s), 1) >= 0;
}

// The type's dotted name: `name` itself when it has a module part.
py::Ref full_name(PyObject* name) {
    if (contains_char(name, '.')) return py::Ref::borrow(name);
    return py::Ref::steal(PyUnicode_FromFormat("vesk_core._native.%U", name));
}

// The field names that the layout refuses, checked before anything is made.
bool check_names(const Request& r, PyObject* type_name) {
    for (const py::Ref& field : r.fields) {
        if (PyUnicode_CompareWithASCIIString(field.get(), "__weakref__") == 0 ||
            PyUnicode_CompareWithASCIIString(field.get(), "__dict__") == 0) {
            py::Ref quoted = quoted_name(field.get());
            if (quoted)
                PyErr_Format(PyExc_ValueError,
                             "field name %U collides with a reserved instance-layout descriptor",
                             quoted.get());
            return false;
        }
    }
    for (const py::Ref& field : r.fields)
        if (contains_char(field.get(), 0)) return raise_interior_nul();
    if (contains_char(type_name, 0)) return raise_interior_nul();
    return true;
}

// The layout of the new type, refusing a base the kernel did not build and
// a size the interpreter's type spec cannot hold.
bool plan_layout(const Request& r, RecordLayout& out) {
    const RecordLayout* base = nullptr;
    if (r.base) {
        const RecordType* record = own_record_type(r.base);
        if (!record) {
            PyErr_Format(PyExc_TypeError,
                         "_kernel_make_record_subtype: base '%s' is not a record type made by "
                         "the kernel",
                         r.base->tp_name);
            return false;
        }
        base = &record->layout;
    }
    const Py_ssize_t base_size = base ? base->basicsize : object_basicsize();
    const auto room = static_cast<std::uint64_t>((INT_MAX - base_size) / kCellSize);
    const std::uint64_t inherited = base ? base->reserved : 0;
    if (r.reserved > room || r.fields.size() > room - r.reserved || inherited > UINT64_MAX - r.reserved) {
        PyErr_SetString(PyExc_OverflowError,
                        "record layout too large: the reserved and field cells exceed the "
                        "interpreter's instance size limit");
        return false;
    }
    out.basicsize = base_size + kCellSize * static_cast<Py_ssize_t>(r.reserved + r.fields.size());
    out.reserved = inherited + r.reserved;
    out.root_reserved = base ? base->root_reserved : r.reserved;
    out.field_begin = object_basicsize() + kCellSize * static_cast<Py_ssize_t>(out.root_reserved);
    out.weaklist_offset =
        base ? base->weaklist_offset
             : (r.reserved >= static_cast<std::uint64_t>(kProductionReserved)
                    ? object_basicsize() + kCellSize * static_cast<Py_ssize_t>(kRoleCount)
                    : 0);
    return true;
}

// The per-field metas, names and getset table of the new type.
std::unique_ptr<RecordType> describe(const Request& r, const RecordLayout& layout) {
    auto record = std::make_unique<RecordType>();
    record->layout = layout;
    const std::size_t n = r.fields.size();
    record->field_count = n;
    record->fields = std::make_unique<SlotFieldMeta[]>(n);
    record->names = std::make_unique<std::string[]>(n);
    const Py_ssize_t base_size = r.base ? r.base->tp_basicsize : object_basicsize();
    const Mode mode = mode_for(layout.reserved);
    for (std::size_t i = 0; i < n; ++i) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(r.fields[i].get(), &size);
        if (!utf8) return nullptr;
        record->names[i].assign(utf8, static_cast<std::size_t>(size));
        SlotFieldMeta& meta = record->fields[i];
        meta.offset = base_size + kCellSize * static_cast<Py_ssize_t>(r.reserved + i);
        meta.name = py::Ref::steal(PyUnicode_InternFromString(record->names[i].c_str()));
        if (!meta.name) return nullptr;
        meta.mode = mode;
        meta.view = has_view_cell(layout);
        meta.enable_topo.store(r.enable_topo, std::memory_order_relaxed);
    }
    const bool weakref_entry =
        !r.base && r.reserved >= static_cast<std::uint64_t>(kProductionReserved);
    record->getsets = std::make_unique<PyGetSetDef[]>(n + 3);
    PyGetSetDef* defs = record->getsets.get();
    defs[0] = {nullptr, nullptr, nullptr, nullptr, record.get()};
    for (std::size_t i = 0; i < n; ++i)
        defs[i + 1] = field_getset(record->names[i].c_str(), &record->fields[i]);
    defs[n + 1] = weakref_entry ? weakref_getset() : py::kGettersEnd;
    defs[n + 2] = py::kGettersEnd;
    return record;
}

// The map from field name to cell offset: the base's, then the own fields,
// each of which must be new.
py::Ref offsets_map(const Request& r, const RecordType& record) {
    py::Ref map;
    if (r.base) {
        PyObject* name;
        PyObject* raw = nullptr;
        if (!py::intern<"__slot_field_offsets__">(name) ||
            PyObject_GetOptionalAttr(reinterpret_cast<PyObject*>(r.base), name, &raw) < 0)
            return {};
        py::Ref inherited = py::Ref::steal(raw);
        if (inherited && !PyDict_Check(inherited.get())) {
            py::raise_not_instance(inherited.get(), "dict");
            return {};
        }
        map = py::Ref::steal(inherited ? PyDict_Copy(inherited.get()) : PyDict_New());
    } else {
        map = py::Ref::steal(PyDict_New());
    }
    if (!map) return {};
    for (std::size_t i = 0; i < record.field_count; ++i) {
        const SlotFieldMeta& meta = record.fields[i];
        const int present = PyDict_Contains(map.get(), meta.name.get());
        if (present < 0) return {};
        if (present) {
            py::Ref quoted = quoted_name(meta.name.get());
            if (quoted)
                PyErr_Format(PyExc_ValueError,
                             "slot record field %U collides with an inherited or earlier field; "
                             "a Record's own fields must be strictly new (no duplicate inline "
                             "slot)",
                             quoted.get());
            return {};
        }
        py::Ref offset = py::Ref::steal(PyLong_FromSsize_t(meta.offset));
        if (!offset || PyDict_SetItem(map.get(), meta.name.get(), offset.get()) < 0) return {};
    }
    return map;
}

PyObject* build(const Request& r) {
    py::Ref type_name = full_name(r.name);
    if (!type_name || !check_names(r, type_name.get())) return nullptr;
    RecordLayout layout;
    if (!plan_layout(r, layout)) return nullptr;
    std::unique_ptr<RecordType> record = describe(r, layout);
    if (!record) return nullptr;
    py::Ref map = offsets_map(r, *record);
    const char* type_name_utf8 = map ? PyUnicode_AsUTF8(type_name.get()) : nullptr;
    if (!type_name_utf8) return nullptr;

    py::TypeDef def;
    def.name(type_name_utf8)
        .layout(layout.basicsize)
        .mutable_()
        .gc()
        .subclassable()
        .token(record_token())
        .slots({py::slot<Py_tp_traverse, &record_traverse>(),
                py::slot<Py_tp_clear, &record_clear>(),
                py::slot<Py_tp_dealloc, &record_dealloc>()})
        .getters(&record->getsets[1]);
    if (r.base) def.base(r.base);
    // From here on descriptors may point into the record type, whatever
    // becomes of the type: it stays for the life of the process.
    RecordType* kept = record.release();
    py::Ref type = def.build();
    if (!type) return nullptr;
    py::Ref reserved = py::Ref::steal(PyLong_FromUnsignedLongLong(kept->layout.reserved));
    if (!reserved || PyObject_SetAttrString(type.get(), "__slot_reserved__", reserved.get()) < 0)
        return nullptr;
    if (!r.base && kept->layout.weaklist_offset > 0) {
        auto* t = reinterpret_cast<PyTypeObject*>(type.get());
        t->tp_weaklistoffset = kept->layout.weaklist_offset;
        PyType_Modified(t);
    }
    if (PyObject_SetAttrString(type.get(), "__slot_field_offsets__", map.get()) < 0) return nullptr;
    return type.release();
}

}  // namespace

PyObject* make_record(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<4> a;
    Request r;
    if (!py::parse(kMakeRecordParams, args, nargs, kwnames, a) ||
        !convert(a[0], a[1], a[2], a[3], r))
        return nullptr;
    return build(r);
}

PyObject* make_record_subtype(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Args<5> a;
    Request r;
    if (!py::parse(kMakeSubtypeParams, args, nargs, kwnames, a)) return nullptr;
    if (!PyType_Check(a[0])) {
        py::raise_arg_type("base", "a type", a[0]);
        return nullptr;
    }
    r.base = reinterpret_cast<PyTypeObject*>(a[0]);
    if (!convert(a[1], a[2], a[3], a[4], r)) return nullptr;
    return build(r);
}

PyObject* record_layout(PyObject*) {
    return Py_BuildValue("(nn)", object_basicsize(), kCellSize);
}

PyObject* topology_reserved(PyObject*) { return PyLong_FromSsize_t(kProductionReserved); }

}  // namespace vesk::kernel::record
