#include "symbolic/shortcuts.hpp"

#include "py/hold.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/markers.hpp"
#include "topology/missing_value.hpp"
#include "typing/field/field.hpp"
#include "typing/field/field_state.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/schema/schema.hpp"
#include "typing/schema/schema_ops.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

#include <atomic>

namespace vesk::symbolic {

bool native_dict_spec_schema(PyObject* spec, py::Ref& out, bool& ok) {
    ok = true;
    PyTypeObject* dict_spec = typing::dict_type();
    if (!dict_spec) {
        PyErr_Clear();
        return false;
    }
    // The Dict class is final: its instances are exactly of it.
    if (Py_TYPE(spec) != dict_spec) return false;
    py::Shared<typing::SpecEngine> held(spec);
    if (!held) {
        ok = false;
        return true;
    }
    const auto* kind = typing::kind_as<typing::DictKind>(held->kind);
    out = kind && kind->schema.get() != Py_None ? kind->schema : py::Ref();
    return true;
}

py::Ref schema_field(PyObject* schema, PyObject* key) {
    // A Schema subclass may override `get_field`.
    if (Py_TYPE(schema) != typing::schema::schema_type())
        return call_method<"get_field">(schema, key);
    typing::schema::Reading held(schema);
    if (!held) return {};
    return py::Ref::steal(typing::schema::schema_get_field(held, key));
}

bool native_field_assign(PyObject* field, py::Ref& out, bool& ok) {
    ok = true;
    // The Field class is final: its `assign` getter answers this member.
    if (!typing::field::is_field(field)) return false;
    py::Shared<typing::field::FieldState> held(field);
    if (!held) {
        ok = false;
        return true;
    }
    out = held->assign;
    return true;
}

int has_nonconst_key(const ContainerBridge& b, PyObject* field) {
    py::Ref key = py::get_attr<"key">(field);
    return key ? PyObject_IsInstance(key.get(), b.nonconst_key_cls.get()) : -1;
}

bool native_missing(const ContainerBridge& b) noexcept {
    // The bridge is set once, so the answer is too: kept, so that a write
    // does not read the missing value's header, which every update record
    // that holds it counts (atomically, on the free-threaded build).
    static std::atomic<int> known{-1};
    int answer = known.load(std::memory_order_relaxed);
    if (answer < 0) {
        PyTypeObject* type = topology::missing_value_type();
        answer = type && Py_TYPE(b.missing_value.get()) == type;
        if (type) known.store(answer, std::memory_order_relaxed);
    }
    return answer != 0;
}

int equals_missing(const ContainerBridge& b, PyObject* value) {
    if (is_primitive(value) && native_missing(b)) return 0;
    return PyObject_RichCompareBool(b.missing_value.get(), value, Py_EQ);
}

int native_field_keeps(PyObject* field, PyObject* value, bool current) {
    if (!typing::field::is_field(field)) return 0;
    // Borrowed for the pure tier alone, which runs no Python code.
    typing::field::ReadSection reading;
    typing::field::FieldMetaRef keep;
    const typing::field::FieldMeta* meta =
        current ? typing::field::current_field_meta_view(field, keep)
                : typing::field::field_meta_view(field, keep);
    return meta ? meta_keeps(*meta, value) : -1;
}

int meta_keeps(const typing::field::FieldMeta& meta, PyObject* value) {
    if (!meta.validate) return 1;
    return typing::funnel::funnel_leaf(value, meta).kind ==
           typing::funnel::FunnelOutcome::Kind::Verbatim;
}

}  // namespace vesk::symbolic
