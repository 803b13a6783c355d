#include "symbolic/object/records/record_direct.hpp"

#include "flags.hpp"
#include "kernel/record/slots.hpp"
#include "py/critical_section.hpp"
#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/construct/fill.hpp"
#include "symbolic/object/records/record_construct.hpp"
#include "typing/bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/funnel/funnel.hpp"
#include "typing/schema/drivers.hpp"

#include <array>
#include <vector>

namespace vesk::symbolic::object {

namespace record = kernel::record;
namespace schema = typing::schema;

namespace {

// One value per init field, on the stack for the usual class sizes.
class Values {
public:
    explicit Values(std::size_t n) {
        if (n > kInline) heap_.resize(n);
    }
    py::Ref& operator[](std::size_t i) noexcept { return heap_.empty() ? inline_[i] : heap_[i]; }

private:
    static constexpr std::size_t kInline = 12;
    std::array<py::Ref, kInline> inline_;
    std::vector<py::Ref> heap_;
};

// Whether the compiled record still describes the class: the class is
// unchanged, its schema holds the metadata compiled, and no field has
// dropped its record since.
bool trusted(PyObject* cls, const RecordFacts& facts, const RecordCompiled& c) {
    if (!type_unchanged(cls, c)) return false;
    schema::SchemaMetaRef now = schema::schema_meta(facts.schema.get());
    if (!now) {
        // The long road meets the same refusal and reports it.
        PyErr_Clear();
        return false;
    }
    // The same metadata, not merely one at the same address.
    if (now.owner_before(c.schema_meta) || c.schema_meta.owner_before(now)) return false;
    for (const RecordField& f : c.fields)
        if (typing::field::meta_generation(f.field.get()) != f.generation) return false;
    return true;
}

// Takes each keyword's value into its field's place: 1 when every keyword
// is an exact str naming an init field, 0 when one is not, -1.
int gather(PyObject* kwargs, const RecordCompiled& c, Values& values) {
    if (!kwargs) return 1;
    const std::size_t n = c.fields.size();
    // No Python code runs inside: the keys are exact str, and so are the
    // index's.
    py::CriticalSection guard(kwargs);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    std::size_t next = 0;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        if (!PyUnicode_CheckExact(key)) return 0;
        // Keywords mostly come in field order and with the very (interned)
        // name objects: look from the field after the last one found, by
        // identity, before comparing text.
        std::size_t at = n;
        for (std::size_t k = 0, i = next; k < n; ++k, i = i + 1 == n ? 0 : i + 1) {
            if (c.fields[i].key.get() == key) {
                at = i;
                break;
            }
        }
        if (at == n) {
            PyObject* hit = PyDict_GetItemWithError(c.index.get(), key);
            if (!hit) return PyErr_Occurred() ? -1 : 0;
            at = static_cast<std::size_t>(PyLong_AsSsize_t(hit));
        }
        values[at] = py::Ref::borrow(value);
        next = at + 1 == n ? 0 : at + 1;
    }
    return 1;
}

// Whether validation may hand anything to the child transform: a value the
// funnel does not claim (a container, or one left to the field's apply),
// or a default that may come from a factory.
bool needs_transform(const RecordCompiled& c, Values& values) {
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
        const typing::field::FieldMeta& m = *c.fields[i].meta;
        if (!m.validate) continue;
        if (PyObject* v = values[i].get()) {
            if (!typing::funnel::funnel_claims(v, m)) return true;
        } else if (m.has_default && m.symbolic != typing::Tri::False) {
            return true;
        }
    }
    return false;
}

// Every symbolic field was written with a primitive.
bool symbolic_all_primitive(const RecordCompiled& c, Values& values) {
    if (!c.symbolic_are_fields) return false;
    for (const Py_ssize_t at : c.symbolic) {
        PyObject* v = values[static_cast<std::size_t>(at)].get();
        if (!v || !is_primitive(v)) return false;
    }
    return true;
}

// Validates into `values`, in the schema's field order, as the schema's
// construct validation does; reports missing required fields after it.
bool validate(PyObject* cls, const RecordFacts& facts, const RecordCompiled& c, PyObject* kwargs,
              PyObject* transform, PyObject* root_path, bool topo, Values& values) {
    if (!typing::typing_bridge()) return false;
    const bool no_child_paths = !facts.has_symbolic_fields();
    const schema::ApplyCtx ctx{root_path, false, no_child_paths, true};
    const schema::FunnelOpts opts{transform, false, true, topo};
    schema::ConstructArgs args;
    args.transform = transform;
    args.root_path = root_path;
    args.symbolic_default = topo;
    args.no_child_paths = no_child_paths;
    bool missing = false;
    for (std::size_t i = 0; i < c.fields.size(); ++i) {
        const RecordField& f = c.fields[i];
        py::Ref& slot = values[i];
        if (slot) {
            schema::FieldValue fv;
            if (!schema::funnel_field_value(f.field.get(), *f.meta, f.key.get(), slot.get(), ctx,
                                            opts, fv))
                return false;
            slot = std::move(fv.value);
        } else {
            bool scalar = true;
            if (!schema::missing_field_value(f.field.get(), *f.meta, f.key.get(), args, slot,
                                             scalar))
                return false;
            missing = missing || !slot;
        }
    }
    if (!missing) return true;
    py::Ref source = kwargs ? py::Ref::borrow(kwargs) : py::Ref::steal(PyDict_New());
    if (!source) return false;
    py::Ref names = schema::missing_required_keys(facts.schema.get(), source.get(), topo);
    if (!names) return false;
    if (PyList_GET_SIZE(names.get()) == 0) return true;
    raise_missing_arguments(cls, names.get());
    return false;
}

bool write_cells(PyObject* self, const RecordCompiled& c, Values& values) {
    record::FieldCells cells;
    if (!cells.open(self, c.offsets.get())) return false;
    for (const Py_ssize_t at : c.slot_order) {
        const auto i = static_cast<std::size_t>(at);
        if (values[i] && !cells.write(c.fields[i].key.get(), values[i].get())) return false;
    }
    return true;
}

}  // namespace

int record_init_direct(PyObject* self, const RecordFacts& facts, PyObject* kwargs,
                       bool allow_partial, bool sealed, PyObject* root_path) {
    const RecordCompiled* c = facts.compiled ? &*facts.compiled : nullptr;
    if (!c) return 0;
#ifdef VESK_TEST_SEAMS
    if (RECORD_DIRECT_OFF.load(std::memory_order_relaxed)) return 0;
#endif
    PyObject* cls = reinterpret_cast<PyObject*>(Py_TYPE(self));
    if (!trusted(cls, facts, *c)) return 0;
    if (flags::forced(flags::FlagId::AllowPartial).value_or(allow_partial)) return 0;
    Values values(c->fields.size());
    const int named = gather(kwargs, *c, values);
    if (named <= 0) return named;
#ifdef VESK_TEST_SEAMS
    RECORD_DIRECT_BUILT.fetch_add(1, std::memory_order_relaxed);
#endif
    if (record_seed_facts(self, allow_partial, sealed, facts.attr_write, root_path) < 0) return -1;
    const bool symbolic = facts.has_symbolic_fields();
    py::Ref transform;
    if (symbolic && needs_transform(*c, values)) {
        const ObjectBridge* b = object_bridge();
        if (!b) return -1;
        if (!make_child_transform(b->symbolic_transform_fn.get(), allow_partial, transform))
            return -1;
    }
    py::Ref topo_value = py::get_attr<"topo">(c->options.get());
    if (!topo_value) return -1;
    const int topo = PyObject_IsTrue(topo_value.get());
    if (topo < 0) return -1;
    if (!validate(cls, facts, *c, kwargs, transform.get(), root_path, topo != 0, values) ||
        !write_cells(self, *c, values))
        return -1;
    if (symbolic) {
        PyObject* names = facts.symbolic_field_names.get();
        const int adopted = symbolic_all_primitive(*c, values)
                                ? record_adopt_primitive_cells(self, names)
                                : record_adopt_children(self, names);
        if (adopted < 0) return -1;
    }
    if (record_finish_with(self, c->non_symbolic_fields.get(), c->post_init_is_noop.get(), sealed,
                           nullptr) < 0)
        return -1;
    return 1;
}

}  // namespace vesk::symbolic::object
