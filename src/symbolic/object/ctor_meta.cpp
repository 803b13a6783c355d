// The class ObjectCtorMeta, its own-namespace cache on the object classes,
// and the reads that build one record from a class's attributes.
#include "symbolic/object/ctor_meta.hpp"

#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/methods.hpp"
#include "py/mutex.hpp"
#include "py/named.hpp"
#include "py/type.hpp"
#include "symbolic/object_bridge.hpp"
#include "symbolic/object/object_state.hpp"
#include "topology/key_path.hpp"
#include "typing/field/field.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/value_spec/engine/classify.hpp"

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace vesk::symbolic::object {

namespace {

// A record whose ObjectCtorMeta went away: a thread may still use one that
// it found in its cache inside a read section begun before
// (ctor_meta_in_section), so it is released only once every such section
// has ended.
void retire(CtorMetaRef record) noexcept { typing::field::retire_shared(std::move(record)); }

// The Python object: one shared record, counted by the collector while this
// object is its only holder. Its going away, by the collector's clear or
// its last reference, retires the record rather than dropping it.
struct MetaState {
    py::SharedRecord<CtorMeta> record;

    MetaState() = default;
    MetaState(const MetaState&) = delete;
    MetaState& operator=(const MetaState&) = delete;
    ~MetaState() { retire(record.take()); }

    template <class V>
    void visit(V&& v) {
        if constexpr (std::is_same_v<std::remove_cvref_t<V>, py::detail::GcClearer>)
            retire(record.take());
        else
            v(record);
    }
};

py::TypeCell TYPE;

PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

// Calls `fn(item)` for each item of `iterable`; `fn` answers false on error.
template <class Fn>
[[nodiscard]] bool each_item(PyObject* iterable, Fn&& fn) {
    py::Ref it = py::Ref::steal(PyObject_GetIter(iterable));
    if (!it) return false;
    for (;;) {
        PyObject* next = nullptr;
        const int r = PyIter_NextItem(it.get(), &next);
        py::Ref item = py::Ref::steal(next);
        if (r <= 0) return r == 0;
        if (!fn(item.get())) return false;
    }
}

// `entry[i]`.
py::Ref item_of(PyObject* entry, Py_ssize_t i) {
    return py::Ref::steal(PySequence_GetItem(entry, i));
}

// `text` as an exact str (a str subclass by its text), so that the sets
// made of names compare and hash without running Python code.
py::Ref exact_str(py::Ref text) {
    if (!text) return {};
    if (!PyUnicode_Check(text.get())) {
        py::raise_not_instance(text.get(), "str");
        return {};
    }
    return PyUnicode_CheckExact(text.get()) ? text
                                            : py::Ref::steal(PyUnicode_FromObject(text.get()));
}

// `entry[0]`, which must be a str.
py::Ref name_of(PyObject* entry) { return exact_str(item_of(entry, 0)); }

// A frozenset of the names (item 0) of every entry of `entries`.
py::Ref names_of(PyObject* entries) {
    py::Ref set = py::Ref::steal(PySet_New(nullptr));
    if (!set) return {};
    const bool ok = each_item(entries, [&](PyObject* entry) {
        py::Ref name = name_of(entry);
        return name && PySet_Add(set.get(), name.get()) == 0;
    });
    return ok ? py::Ref::steal(PyFrozenSet_New(set.get())) : py::Ref();
}

// name -> field for every entry whose name is empty or does not begin with
// "_"; a later entry replaces an earlier one. `out` gets the same fields,
// each with the key path of its name under a root.
py::Ref public_fields_of(PyObject* entries, std::vector<PublicField>& out) {
    py::Ref map = py::Ref::steal(PyDict_New());
    if (!map) return {};
    out.clear();
    const bool ok = each_item(entries, [&](PyObject* entry) {
        py::Ref name = name_of(entry);
        if (!name) return false;
        if (PyUnicode_GET_LENGTH(name.get()) > 0 && PyUnicode_READ_CHAR(name.get(), 0) == '_')
            return true;
        // Interned, so the names a program writes by are found by identity.
        PyObject* text = name.release();
        PyUnicode_InternInPlace(&text);
        name = py::Ref::steal(text);
        py::Ref field = item_of(entry, 1);
        py::Ref path = field ? topology::child_key_path(name.get(), nullptr) : py::Ref();
        if (!path || PyDict_SetItem(map.get(), name.get(), field.get()) < 0) return false;
        for (PublicField& f : out)
            if (PyUnicode_Compare(f.name.get(), name.get()) == 0) {
                f = PublicField{name, field, path};
                return true;
            }
        out.push_back(PublicField{name, field, path});
        return true;
    });
    return ok ? map : py::Ref();
}

// A frozenset of the str items iterated from `iterable`.
py::Ref str_set_of(PyObject* iterable) {
    py::Ref set = py::Ref::steal(PySet_New(nullptr));
    if (!set) return {};
    const bool ok = each_item(iterable, [&](PyObject* item) {
        py::Ref text = exact_str(py::Ref::borrow(item));
        return text && PySet_Add(set.get(), text.get()) == 0;
    });
    return ok ? py::Ref::steal(PyFrozenSet_New(set.get())) : py::Ref();
}

// The truth of a read attribute into `out`; false on error.
bool truth(const py::Ref& value, bool& out) {
    if (!value) return false;
    const int t = PyObject_IsTrue(value.get());
    if (t < 0) return false;
    out = t != 0;
    return true;
}

// Whether the attribute read by `read` on `cls` is not `hook`.
template <class Read>
bool differs(PyObject* cls, Read read, const py::Ref& hook, bool& out) {
    py::Ref found = read(cls);
    if (!found) return false;
    out = found.get() != hook.get();
    return true;
}

// The strict bool option `name` of `options`.
template <py::Literal Name>
bool strict_option(PyObject* options, bool& out) {
    py::Ref value = py::get_attr<Name>(options);
    return value && py::arg_bool_scalar(Name.text, value.get(), out);
}

// The FieldMeta of any field object: a native Field's cached one, else one
// built for this compiled field alone.
typing::field::FieldMetaRef meta_of(PyObject* field, PyObject* value_spec) {
    if (typing::field::is_field(field)) return typing::field::field_meta(field);
    py::Ref key = py::get_attr<"key">(field);
    py::Ref const_text = key ? py::get_attr<"const_text">(key.get()) : py::Ref();
    if (!const_text) return nullptr;
    return typing::field::build_field_meta(const_text.get(), field, value_spec);
}

// Whether the funnel has anything to accept for the field.
bool offers_something(const typing::field::FieldMeta& m, int container_code) noexcept {
    return m.accept_any || !m.exact.empty() || !m.checked.empty() ||
           (m.wrap && container_code != 2) || !m.subclass.empty();
}

// Compiles one (key, field) entry: 1 appended, 0 declined, -1 error.
int compile_entry(PyObject* entry, std::vector<CompiledField>& out) {
    CompiledField compiled;
    compiled.key = item_of(entry, 0);
    py::Ref field = compiled.key ? item_of(entry, 1) : py::Ref();
    py::Ref value_spec = field ? py::get_attr<"value">(field.get()) : py::Ref();
    if (!value_spec) return -1;
    compiled.meta = meta_of(field.get(), value_spec.get());
    if (!compiled.meta) return -1;
    const typing::field::FieldMeta& m = *compiled.meta;
    typing::funnel::FillInfo info;
    if (m.wrap && !typing::funnel::container_fill_info(value_spec.get(), info)) return -1;
    if (!offers_something(m, info.code)) return 0;
    if (m.has_default) {
        py::Ref factory = py::get_attr<"default_factory">(value_spec.get());
        if (!factory) return -1;
        if (factory.get() != Py_None) return 0;
        compiled.default_value = py::get_attr<"default_value">(field.get());
        if (!compiled.default_value) return -1;
        compiled.container_default = m.wrap && info.code == 1;
    }
    out.push_back(std::move(compiled));
    return 1;
}

bool read_node_facts(PyObject* cls, const ObjectBridge& b, CtorMeta& m) {
    return differs(cls, py::get_attr<"on_topo_parent_change">, b.default_on_topo_parent_change,
                   m.parent_change_overridden) &&
           differs(cls, py::get_attr<"_update_children_paths">, b.default_update_children_paths,
                   m.update_children_overridden) &&
           differs(cls, py::get_attr<"on_topo_path_change">, b.default_on_topo_path_change,
                   m.path_change_overridden);
}

// `default_sym_missing`, `default_topo_setters` and `default_pure_symbolic`.
bool read_defaults(PyObject* cls, const ObjectBridge& b, CtorMeta& m) {
    py::Ref missing = py::get_attr<"sym_missing">(cls);
    py::Ref code = missing ? py::get_attr<"__code__">(missing.get()) : py::Ref();
    if (!code) return false;
    m.default_sym_missing = code.get() == b.default_sym_missing_code.get();

    PyTypeObject* base_type = sym_object_type();
    if (!base_type) return false;
    PyObject* base = reinterpret_cast<PyObject*>(base_type);
    bool differ = false;
    py::Ref setpath = py::get_attr<"topo_setpath">(base);
    if (!setpath || !differs(cls, py::get_attr<"topo_setpath">, setpath, differ)) return false;
    if (!differ) {
        py::Ref setparent = py::get_attr<"topo_setparent">(base);
        if (!setparent || !differs(cls, py::get_attr<"topo_setparent">, setparent, differ))
            return false;
    }
    m.default_topo_setters = !differ;

    if (!differs(cls, py::get_attr<"sym_puresymbolic">, b.default_sym_puresymbolic_prop, differ))
        return false;
    if (!differ && !differs(cls, py::get_attr<"sym_values">, b.default_sym_values, differ))
        return false;
    m.default_pure_symbolic = !differ;
    return true;
}

// The init fields' three products: compiled fields, names, public map.
bool read_init_fields(CtorMeta& m) {
    if (m.init_fields.get() == Py_None) return true;
    if (!compile_fields(m.init_fields.get(), m.compiled_fields, m.has_compiled_fields))
        return false;
    if (!m.has_compiled_fields) m.compiled_fields.clear();
    m.init_field_names = names_of(m.init_fields.get());
    return static_cast<bool>(m.init_field_names);
}

bool read_hook_flags(PyObject* cls, CtorMeta& m) {
    bool ready_noop = false;
    return truth(py::get_attr<"_sym_post_init_overridden">(cls), m.post_init_overridden) &&
           truth(py::get_attr<"_sym_bound_overridden">(cls), m.bound_overridden) &&
           truth(py::get_attr<"_sym_ready_is_noop">(cls), ready_noop) &&
           (m.ready_runs = !ready_noop, true) &&
           truth(py::get_attr<"_sym_preinit_overridden">(cls), m.preinit_overridden) &&
           truth(py::get_attr<"_sym_validate_overridden">(cls), m.validate_overridden);
}

bool read_aliases(PyObject* cls, CtorMeta& m) {
    py::Ref maps = py::get_attr<"_sym_alias_maps">(cls);
    if (!maps) return false;
    if (maps.get() == Py_None) return true;
    py::Ref first = item_of(maps.get(), 0);
    m.alias_names = first ? str_set_of(first.get()) : py::Ref();
    return static_cast<bool>(m.alias_names);
}

bool build_into(PyObject* cls, CtorMeta& m) {
    py::Ref options = py::get_attr<"__sym_options__">(cls);
    if (!options) return false;
    m.non_symbolic_fields = py::get_attr<"_non_symbolic_fields">(cls);
    if (!m.non_symbolic_fields) return false;
    const ObjectBridge* b = object_bridge();
    if (!b) return false;
    PyObject* argv[] = {nullptr, cls};
    if (!truth(py::Ref::steal(PyObject_Vectorcall(b->needs_cooperative_init.get(), argv + 1,
                                                  1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)),
               m.cooperative_init_needed) ||
        !read_defaults(cls, *b, m) ||
        !truth(py::get_attr<"topo">(options.get()), m.topo_enabled) ||
        !read_node_facts(cls, *b, m))
        return false;
    m.init_fields = py::get_attr<"_sym_init_fields">(cls);
    py::Ref builder = m.init_fields ? py::get_attr<"_sym_attrs_builder">(cls) : py::Ref();
    if (!builder) return false;
    m.has_attrs_builder = builder.get() != Py_None;
    if (!read_init_fields(m)) return false;
    m.non_symbolic_names = names_of(m.non_symbolic_fields.get());
    if (!m.non_symbolic_names) return false;
    if (m.init_fields.get() != Py_None) {
        m.public_init_fields = public_fields_of(m.init_fields.get(), m.public_fields);
        if (!m.public_init_fields) return false;
    }
    m.sym_fields = py::get_attr<"sym_fields">(cls);
    m.schema = m.sym_fields ? py::get_attr<"__schema__">(cls) : py::Ref();
    m.init_schema = m.schema ? py::get_attr<"schema">(m.sym_fields.get()) : py::Ref();
    if (!m.init_schema || !strict_option<"topo">(options.get(), m.topo) ||
        !strict_option<"attr_write">(options.get(), m.attr_write) ||
        !strict_option<"frozen">(options.get(), m.frozen) || !read_hook_flags(cls, m) ||
        !read_aliases(cls, m))
        return false;
    const Py_ssize_t count = PyObject_Length(m.non_symbolic_fields.get());
    if (count < 0) return false;
    m.has_non_symbolic_fields = count != 0;
    return true;
}

// The ObjectCtorMeta stored in `cls`'s own namespace: 1 with `out` set, 0
// when there is none (or another object is stored there), -1 on error.
int cached(PyObject* cls, PyObject* attr, py::Ref& out) {
    // A class made by a class statement keeps one namespace dict for its
    // whole life: it is read in place, without the new reference that
    // PyType_GetDict makes (which a free-threaded build counts atomically on
    // an object every thread shares, on every attribute write).
    PyObject* ns = nullptr;
    py::Ref owned;
    if (PyType_Check(cls) &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(cls), Py_TPFLAGS_HEAPTYPE)) {
        ns = reinterpret_cast<PyTypeObject*>(cls)->tp_dict;
    }
    if (!ns) {
        owned = PyType_Check(cls)
                    ? py::Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(cls)))
                    : py::get_attr<"__dict__">(cls);
        if (!owned) return -1;
        ns = owned.get();
    }
    PyObject* found = nullptr;
    const int r = PyDict_Check(ns) ? PyDict_GetItemRef(ns, attr, &found)
                                   : PyMapping_GetOptionalItem(ns, attr, &found);
    out = py::Ref::steal(found);
    if (r <= 0) return r;
    PyTypeObject* type = ctor_meta_type();
    if (!type) return -1;
    return PyObject_TypeCheck(out.get(), type) ? 1 : 0;
}

}  // namespace

PyTypeObject* ctor_meta_type() {
    return TYPE.get([](py::TypeDef& t) {
        t.name("vesk_core._native.ObjectCtorMeta")
            .doc("Per-class construct metadata of a symbolic object class, cached on the "
                 "class under `__native_ctor_meta__`.")
            .state<MetaState>()
            .slots({py::slot<Py_tp_new, refuse_new>()});
    });
}

bool compile_fields(PyObject* init_fields, std::vector<CompiledField>& out, bool& compiled) {
    out.clear();
    compiled = true;
    const bool ok = each_item(init_fields, [&](PyObject* entry) {
        const int r = compile_entry(entry, out);
        if (r == 0) compiled = false;
        return r > 0;
    });
    if (!ok && !compiled) {
        out.clear();
        return true;
    }
    if (!ok) out.clear();
    return ok;
}

CtorMetaRef build_ctor_meta(PyObject* cls) {
    auto record = std::make_shared<CtorMeta>();
    if (!build_into(cls, *record)) return nullptr;
    return record;
}

CtorMetaRef ctor_meta_record(PyObject* meta_object) {
    PyTypeObject* type = ctor_meta_type();
    if (!type || !py::expect_instance(meta_object, type)) return nullptr;
    py::Shared<MetaState> held(meta_object);
    if (!held) return nullptr;
    return held->record.get();
}

CtorMetaRef ctor_meta(PyObject* cls) {
    PyObject* attr;
    if (!py::intern<"__native_ctor_meta__">(attr)) return nullptr;
    py::Ref found;
    const int r = cached(cls, attr, found);
    if (r < 0) return nullptr;
    if (r > 0) {
        if (CtorMetaRef record = ctor_meta_record(found.get())) return record;
        // An instance whose record the collector cleared: build anew.
        if (PyErr_Occurred()) return nullptr;
    }
    CtorMetaRef record = build_ctor_meta(cls);
    if (!record) return nullptr;
    PyTypeObject* type = ctor_meta_type();
    py::Ref meta = type ? py::alloc<MetaState>(type) : py::Ref();
    if (!meta) return nullptr;
    py::state<MetaState>(meta.get()).record = record;  // not yet shared with anyone
    if (PyObject_SetAttr(cls, attr, meta.get()) < 0) return nullptr;
    return record;
}

PinnedCtorMeta pinned_ctor_meta(PyObject* cls) {
    PinnedCtorMeta out;
    PyObject* attr;
    if (!py::intern<"__native_ctor_meta__">(attr)) return out;
    const int r = cached(cls, attr, out.owner);
    if (r < 0) return out;
    if (r > 0) {
        // The hot road of every attribute write: no shared hold and no copy of
        // the record's reference count, both atomic on a free-threaded build.
        if (const CtorMeta* record = py::state<MetaState>(out.owner.get()).record.operator->()) {
            out.meta = record;
            return out;
        }
    }
    out.owner.reset();
    out.built = ctor_meta(cls);
    out.meta = out.built.get();
    return out;
}

int is_init_field(const CtorMeta& meta, PyObject* name) noexcept {
    if (!meta.init_field_names || !PyUnicode_Check(name)) return 0;
    const int r = PySet_Contains(meta.init_field_names.get(), name);
    if (r < 0) {
        PyErr_Clear();
        return 0;
    }
    return r;
}

const PublicField* public_init_field(const CtorMeta& meta, PyObject* name) noexcept {
    if (meta.public_fields.empty() || !PyUnicode_Check(name)) return nullptr;
    for (const PublicField& f : meta.public_fields)
        if (f.name.get() == name) return &f;
    // A name that is not interned (or a str subclass) compares by text, which
    // runs no Python code.
    for (const PublicField& f : meta.public_fields)
        if (PyUnicode_GET_LENGTH(f.name.get()) == PyUnicode_GET_LENGTH(name) &&
            PyUnicode_Compare(f.name.get(), name) == 0)
            return &f;
    return nullptr;
}

namespace {

// The record this thread last found for a class, by the class's version
// tag. Trivial, so the thread-local needs no initialisation check; it owns
// nothing (a record it names is kept by the retirement epoch while a section
// is open, and is never used across sections unless the tag still holds).
struct CachedMeta {
    PyTypeObject* type;
    unsigned int version;
    const CtorMeta* meta;
};
constexpr std::size_t kCachedMetas = 8;
[[gnu::tls_model("initial-exec")]] thread_local CachedMeta t_metas[kCachedMetas];

CachedMeta& cache_slot(PyTypeObject* type) noexcept {
    return t_metas[(reinterpret_cast<std::uintptr_t>(type) >> 4) % kCachedMetas];
}

unsigned int version_of(PyTypeObject* type) noexcept {
    // Sequentially consistent, as the caller's section began: see meta_epoch.hpp.
    return __atomic_load_n(&type->tp_version_tag, __ATOMIC_SEQ_CST);
}

}  // namespace

const CtorMeta* ctor_meta_in_section(PyTypeObject* type, PinnedCtorMeta& keep) {
    CachedMeta& slot = cache_slot(type);
    unsigned int version = version_of(type);
    if (version != 0 && slot.type == type && slot.version == version) return slot.meta;
    // Read before the namespace: a change after this read moves the tag on,
    // so what is kept below is never found under a tag it is older than.
    if (version == 0 && PyUnstable_Type_AssignVersionTag(type)) version = version_of(type);
    keep = pinned_ctor_meta(reinterpret_cast<PyObject*>(type));
    if (!keep) return nullptr;
    // Only a record that its ObjectCtorMeta holds is retired when it goes; a
    // record built without being stored there is kept by `keep` alone.
    if (keep.owner && version != 0) slot = CachedMeta{type, version, keep.meta};
    return keep.meta;
}

}  // namespace vesk::symbolic::object
