// The schema's cached metadata: built from a fields dict in one walk, then
// shared and never changed.
#include "typing/schema/schema_ops.hpp"

#include "py/dict_cursor.hpp"
#include "typing/bridge.hpp"
#include "typing/field/field.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"

namespace vesk::typing::schema {

namespace {

// The UTF-8 text of a constant key, which must be a str.
bool const_text_utf8(PyObject* text, std::string_view& out) {
    if (!PyUnicode_Check(text)) {
        raise_conversion("const_text", "str", text);
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) return false;
    out = std::string_view(utf8, static_cast<std::size_t>(size));
    return true;
}

// `spec` itself when it is a native noneable spec, else null.
bool noneable_spec(PyObject* spec, py::Ref& out) {
    if (!is_spec(spec)) return true;
    SpecRead e(spec);
    if (!e) return false;
    if (e->is_noneable) out = py::Ref::borrow(spec);
    return true;
}

// The native bulk entry of a field met after the tuple form of the bulk
// check has stopped. Only a native Field with a native value spec
// qualifies, so that deciding runs no Python code and reads nothing a
// Python field or spec could observe. 1 with `out` set, 0 when the field
// does not qualify, -1 on error.
int native_bulk_entry(PyObject* text, PyObject* field, PyObject* spec, BulkEntry& out) {
    if (!field::is_field(field) || !is_spec(spec)) return 0;
    py::Ref validator = py::get_attr<"validator">(field);
    if (!validator) return -1;
    if (validator.get() != Py_None) return 0;
    // What the spec accepts as it is, as its field's record and its element
    // rule read it, from its engine alone.
    funnel::Acceptance accepts;
    if (!funnel::spec_acceptance(spec, funnel::AcceptanceReads::EngineOnly, accepts)) return -1;
    if (accepts.exact) {
        out = BulkEntry{py::Ref::borrow(text), std::move(accepts.exact), {}, {}, {}};
    } else if (accepts.checked) {
        out = BulkEntry{py::Ref::borrow(text), std::move(accepts.checked), {}, {},
                        py::Ref::borrow(spec)};
    } else if (accepts.facts.is_list) {
        out = BulkEntry{py::Ref::borrow(text),
                        py::Ref::borrow(reinterpret_cast<PyObject*>(&PyList_Type)),
                        py::Ref::borrow(spec), {}, {}};
        return 1;
    } else {
        return 0;
    }
    // A noneable spec's None is decided when the check is derived.
    if (accepts.facts.noneable) out.none_spec = py::Ref::borrow(spec);
    return 1;
}

// Every key constant: every field is a constant field, reachable by its text.
bool fill_constant(PyObject* fields, SchemaMeta& m) {
    py::Ref resolution = py::Ref::steal(PyDict_New());
    py::Ref texts = py::Ref::steal(PyList_New(0));
    py::Ref apply_fields = py::Ref::steal(PyList_New(0));
    py::Ref bulk = py::Ref::steal(PyList_New(0));
    if (!resolution || !texts || !apply_fields || !bulk) return false;
    bool bulk_ok = true;
    // The native entries go on past a List field, where the tuple stops.
    bool native_ok = true;
    py::DictCursor cursor(fields);
    py::Ref key, field;
    for (std::uint32_t i = 0;; ++i) {
        const int step = cursor.next(key, field);
        if (step < 0) return false;
        if (step == 0) break;
        py::Ref text = py::get_attr<"const_text">(key.get());
        if (!text) return false;
        py::Ref one = py::Ref::steal(PyList_New(1));
        if (!one) return false;
        PyList_SET_ITEM(one.get(), 0, py::Ref(text).release());
        if (PyDict_SetItem(resolution.get(), key.get(), one.get()) < 0) return false;
        if (PyList_Append(texts.get(), text.get()) < 0) return false;
        py::Ref spec = py::get_attr<"value">(field.get());
        if (!spec) return false;
        py::Ref triple = py::Ref::steal(PyTuple_Pack(3, text.get(), field.get(), spec.get()));
        if (!triple || PyList_Append(apply_fields.get(), triple.get()) < 0) return false;
        std::string_view utf8;
        if (!const_text_utf8(text.get(), utf8)) return false;
        m.field_meta_index.insert(utf8, i);
        m.const_fields.push_back(field);
        if (!bulk_ok) {
            if (!native_ok) continue;
            BulkEntry entry;
            const int r = native_bulk_entry(text.get(), field.get(), spec.get(), entry);
            if (r < 0) return false;
            native_ok = r > 0;
            if (native_ok) m.bulk.push_back(std::move(entry));
            continue;
        }
        // Once one field needs more than an exact type test, no later
        // field's `validator` or `fast_apply_info` is read.
        py::Ref validator = py::get_attr<"validator">(field.get());
        if (!validator) return false;
        if (validator.get() != Py_None) {
            bulk_ok = native_ok = false;
            continue;
        }
        py::Ref info = py::get_attr<"fast_apply_info">(spec.get());
        if (!info) return false;
        const int eligible = attr_truth<"is_eligible">(info.get());
        if (eligible < 0) return false;
        if (!eligible) {
            // The native entries go on with a List field or a checked leaf.
            bulk_ok = false;
            BulkEntry entry;
            const int r = native_bulk_entry(text.get(), field.get(), spec.get(), entry);
            if (r < 0) return false;
            native_ok = r > 0;
            if (native_ok) m.bulk.push_back(std::move(entry));
            continue;
        }
        py::Ref value_type = py::get_attr<"value_type">(info.get());
        if (!value_type) return false;
        py::Ref pair = py::Ref::steal(PyTuple_Pack(2, text.get(), value_type.get()));
        if (!pair || PyList_Append(bulk.get(), pair.get()) < 0) return false;
        BulkEntry entry{text, std::move(value_type), {}, {}, {}};
        if (!noneable_spec(spec.get(), entry.none_spec)) return false;
        m.bulk.push_back(std::move(entry));
    }
    m.has_bulk = native_ok;
    if (!native_ok) m.bulk.clear();
    if (bulk_ok) {
        m.const_bulk_check = py::Ref::steal(PyList_AsTuple(bulk.get()));
        if (!m.const_bulk_check) return false;
    }
    m.const_text_set = py::Ref::steal(PyFrozenSet_New(texts.get()));
    if (!m.const_text_set) return false;
    m.const_resolution = std::move(resolution);
    m.const_apply_fields = std::move(apply_fields);
    m.has_const = !m.const_fields.empty();
    return true;
}

// Whether the one non-constant key is a wildcard over every str key: exactly
// the package's plain string key class, without a pattern. 1, 0 or -1.
int is_wildcard(PyObject* key) {
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return -1;
    if (reinterpret_cast<PyObject*>(Py_TYPE(key)) != bridge->str_key_cls.get()) return 0;
    py::Ref regex = py::get_attr<"regex">(key);
    if (!regex) return -1;
    return regex.get() == Py_None;
}

std::unique_ptr<const OpenSchemaPlan> build_open_plan(PyObject* fields) {
    auto plan = std::make_unique<OpenSchemaPlan>();
    py::DictCursor cursor(fields);
    py::Ref key, field;
    for (;;) {
        const int step = cursor.next(key, field);
        if (step < 0) return nullptr;
        if (step == 0) break;
        const int init = attr_truth<"enable_init">(field.get());
        if (init < 0) return nullptr;
        py::Ref spec = py::get_attr<"value">(field.get());
        if (!spec) return nullptr;
        const int is_const = attr_truth<"is_const">(key.get());
        if (is_const < 0) return nullptr;
        if (!is_const) {
            plan->wildcard_field = field;
            plan->wildcard_spec = std::move(spec);
            plan->wildcard_init = init != 0;
            plan->wildcard_pos = plan->const_fields.size();
            continue;
        }
        py::Ref text = py::get_attr<"const_text">(key.get());
        if (!text) return nullptr;
        std::string_view utf8;
        if (!const_text_utf8(text.get(), utf8)) return nullptr;
        plan->index.insert(utf8, static_cast<std::uint32_t>(plan->const_fields.size()));
        plan->const_fields.push_back(field);
        plan->const_entries.emplace_back(std::move(text), std::move(spec));
        plan->const_init.push_back(init != 0);
    }
    return plan;
}

}  // namespace

SchemaMetaRef compute_caches(PyObject* fields) {
    auto m = std::make_shared<SchemaMeta>();
    py::Ref keys;
    {
        py::CriticalSection guard(fields);
        keys = py::Ref::steal(PyDict_Keys(fields));
    }
    m->nonconst_keys = py::Ref::steal(PyList_New(0));
    if (!keys || !m->nonconst_keys) return nullptr;
    // `keys` is our own list: no other thread can change it.
    const Py_ssize_t n = PyList_GET_SIZE(keys.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* key = PyList_GET_ITEM(keys.get(), i);
        const int is_const = attr_truth<"is_const">(key);
        if (is_const < 0) return nullptr;
        if (!is_const && PyList_Append(m->nonconst_keys.get(), key) < 0) return nullptr;
    }
    const Py_ssize_t nonconst = PyList_GET_SIZE(m->nonconst_keys.get());
    if (nonconst == 0) {
        if (!fill_constant(fields, *m)) return nullptr;
        return m;
    }
    if (nonconst == 1) {
        const int wildcard = is_wildcard(PyList_GET_ITEM(m->nonconst_keys.get(), 0));
        if (wildcard < 0) return nullptr;
        if (wildcard) {
            m->open_plan = build_open_plan(fields);
            if (!m->open_plan) return nullptr;
        }
    }
    m->has_nonconst = true;
    m->has_const = n > nonconst;
    return m;
}

field::FieldMetaRef field_meta_for(PyObject* field) {
    if (field::is_field(field)) return field::field_meta(field);
    py::Ref key = py::get_attr<"key">(field);
    if (!key) return nullptr;
    py::Ref text = py::get_attr<"const_text">(key.get());
    if (!text) return nullptr;
    py::Ref spec = py::get_attr<"value">(field);
    if (!spec) return nullptr;
    return field::build_field_meta(text.get(), field, spec.get());
}

const field::FieldMeta* field_meta_view(PyObject* field, field::FieldMetaRef& keep) {
    if (field::is_field(field)) return field::field_meta_view(field, keep);
    keep = field_meta_for(field);
    return keep.get();
}

}  // namespace vesk::typing::schema
