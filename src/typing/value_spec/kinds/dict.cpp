// Dict: the spec of a Python dict described by a Schema (its ordered
// fields), or of any dict when it has none. The schema is applied through
// its own `apply`, called by attribute name so that Schema subclasses and
// pure-Python schemas are honoured; a schema whose one field takes every str
// key has its value spec applied per entry instead. Without a default of its
// own, a Dict with a schema takes the schema's idea of an empty dict.
#include "py/named.hpp"
#include "topology/key_path.hpp"
#include "typing/applied_members.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema.hpp"
#include "typing/schema/schema_ops.hpp"
#include "typing/value_spec/engine/by_name.hpp"
#include "typing/funnel/container_fast_path.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/engine/forward_refs.hpp"
#include "typing/value_spec/kinds/containers.hpp"
#include "typing/value_spec/kinds/element_guard.hpp"
#include "typing/value_spec/kinds.hpp"
#include "typing/value_spec/spec_class/call.hpp"
#include "typing/value_spec/spec_class/extend_support.hpp"
#include "typing/value_spec/spec_class/json_write.hpp"
#include "typing/value_spec/spec_class/mutators.hpp"
#include "typing/value_spec/spec_class/spec_class.hpp"
#include "typing/value_spec/spec_class/whole_spec.hpp"
#include "typing/value_spec/utilities/open_value_spec.hpp"
#include "typing/value_spec/utilities/type_args.hpp"

namespace vesk::typing {

namespace {

// --- construction -------------------------------------------------------------

// `create_schema(arg, allow_nonconst_keys=True)` through the bridge.
py::Ref create_schema(const TypingBridge& bridge, PyObject* arg) {
    PyObject* args[] = {arg, Py_True};
    return py::call_kw<"allow_nonconst_keys">(bridge.create_schema.get(), args);
}

// The open schema `[(str_key_cls(), spec)]`: every str key, one value spec.
py::Ref open_schema(const TypingBridge& bridge, PyObject* value_spec) {
    py::Ref key = py::Ref::steal(PyObject_CallNoArgs(bridge.str_key_cls.get()));
    if (!key) return {};
    py::Ref list = py::Ref::steal(Py_BuildValue("[(OO)]", key.get(), value_spec));
    return list ? create_schema(bridge, list.get()) : py::Ref{};
}

// The schema a `schema` argument stands for; None for none.
py::Ref resolve_schema(PyObject* schema) {
    if (!schema || schema == Py_None) return py::Ref::borrow(Py_None);
    if (typing::schema::is_schema(schema)) return py::Ref::borrow(schema);
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    if (PyDict_Check(schema) || PyList_Check(schema)) return create_schema(*bridge, schema);
    bool typeddict = false;
    const int is_spec = PyObject_IsInstance(schema, bridge->value_spec_cls.get());
    if (is_spec < 0) return {};
    if (!is_spec) {
        py::Ref answer =
            py::Ref::steal(PyObject_CallOneArg(bridge->is_typeddict.get(), schema));
        if (!answer) return {};
        const int truth = PyObject_IsTrue(answer.get());
        if (truth < 0) return {};
        typeddict = truth == 1;
    }
    py::Ref spec = from_annotation(schema);
    if (!spec) return {};
    if (!typeddict) return open_schema(*bridge, spec.get());
    py::Ref inner = py::get_attr<"schema">(spec.get());
    if (!inner) return {};
    if (typing::schema::is_schema(inner.get())) return inner;
    return create_schema(*bridge, inner.get());
}

// The schema resolved from `schema` (borrowed; null or None = none), the
// open str value spec derived from it, then the build and the factory-only
// default: a factory given without a default over a schema is replaced by
// the schema's application to an empty dict.
std::optional<SpecEngine> dict_new(PyObject* schema, Tri symbolic, bool auto_wrap,
                                   SpecCommon common) {
    py::Ref resolved = resolve_schema(schema);
    if (!resolved) return std::nullopt;
    DictKind payload;
    if (compute_open_str_value_spec(resolved.get(), payload.open_str_value_spec) < 0)
        return std::nullopt;
    payload.schema = std::move(resolved);
    payload.symbolic = symbolic;
    payload.auto_wrap = auto_wrap;
    bool default_missing = true;
    if (common.default_value) {
        const int missing = is_missing(common.default_value.get());
        if (missing < 0) return std::nullopt;
        default_missing = missing == 1;
    }
    const bool factory_only = default_missing && common.default_factory;
    std::optional<SpecEngine> engine =
        build_base(py::Ref::borrow(reinterpret_cast<PyObject*>(&PyDict_Type)), std::move(payload),
                   std::move(common));
    if (!engine || !factory_only) return engine;
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return std::nullopt;
    ResolvedDefault made = resolve_default(*engine, bridge->missing_value, true, nullptr, nullptr);
    if (!made.value) return std::nullopt;
    Detached none;  // a new engine holds nothing yet
    store_default(*engine, std::move(made), none);
    return engine;
}

void raise_type_args(PyObject* items) {
    PyErr_Format(PyExc_TypeError,
                 "`vk.typing.Dict` accepts 1 dict type argument or TypedDict class as the "
                 "schema, or 2 type arguments as the key type and value type. Encountered: %R.",
                 items);
}

// `Dict[str, V]` is the open schema of V; `Dict[K, V]` for any other K a
// schema-less Dict; `Dict[A]` takes a dict or TypedDict A as the schema.
py::Ref dict_from_type_args(PyObject* type_args) {
    PyTypeObject* type = dict_type();
    if (!type) return {};
    const TypingBridge* bridge = typing_bridge();
    if (!bridge) return {};
    py::Ref items = as_type_args(type_args);
    if (!items) return {};
    py::Ref schema = py::Ref::borrow(Py_None);
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    if (n == 2) {
        if (PyTuple_GET_ITEM(items.get(), 0) == reinterpret_cast<PyObject*>(&PyUnicode_Type)) {
            py::Ref key = py::Ref::steal(PyObject_CallNoArgs(bridge->str_key_cls.get()));
            if (!key) return {};
            schema = py::Ref::steal(
                Py_BuildValue("[(OO)]", key.get(), PyTuple_GET_ITEM(items.get(), 1)));
            if (!schema) return {};
        }
    } else if (n == 1) {
        PyObject* arg = PyTuple_GET_ITEM(items.get(), 0);
        py::Ref answer = py::Ref::steal(PyObject_CallOneArg(bridge->is_typeddict.get(), arg));
        if (!answer) return {};
        const int truth = PyObject_IsTrue(answer.get());
        if (truth < 0) return {};
        if (!PyDict_Check(arg) && !truth) {
            raise_type_args(items.get());
            return {};
        }
        schema = py::Ref::borrow(arg);
    } else {
        raise_type_args(items.get());
        return {};
    }
    SpecCommon common = defaults();
    common.default_value = bridge->missing_value;
    return py::Ref::steal(wrap_built(
        type, dict_new(schema.get(), Tri::Unset, true, std::move(common))));
}

py::Params<1> kTypeArgsParams{"with_type_args", {"type_args"}, 1, 1};
py::Params<1> kClassGetitemParams{"__class_getitem__", {"type_args"}, 1, 1};

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgsParams, args, nargs, kwnames, a)) return nullptr;
    return dict_from_type_args(a[0]).release();
}

PyObject* class_getitem(PyObject*, PyObject* type_args) {
    return generic_getitem_result(dict_from_type_args(type_args)).release();
}

// --- getters ----------------------------------------------------------------------

const DictKind* dict_in(const SpecRead& self) { return kind_as<DictKind>(self->kind); }

PyObject* get_schema(const SpecRead& self) {
    const DictKind* d = dict_in(self);
    return py::new_ref(d ? d->schema.get() : Py_None);
}
PyObject* get_symbolic(const SpecRead& self) {
    const DictKind* d = dict_in(self);
    return py::new_ref(d ? tri_object(d->symbolic) : Py_None);
}
PyObject* get_auto_wrap(const SpecRead& self) {
    const DictKind* d = dict_in(self);
    return d ? py::boolean(d->auto_wrap) : py::none();
}

PyMethodDef dict_methods[] = {
    py::class_method<&with_type_args>("with_type_args", kTypeArgsParams),
    py::class_method<&class_getitem>("__class_getitem__", kClassGetitemParams),
    py::kMethodsEnd,
};

PyGetSetDef dict_getters[] = {
    py::getter<&get_schema>("schema"),
    py::getter<&get_symbolic>("symbolic"),
    py::getter<&get_auto_wrap>("auto_wrap"),
    py::kGettersEnd,
};

struct DictClass {
    static constexpr py::Literal kName{"Dict"};
    static constexpr const char* kParams[] = {
        "schema=None", "default=...", "default_factory=None", "transform=None",
        "is_noneable=False", "frozen=False", "strict=None", "symbolic=None", "auto_wrap=True"};
    static constexpr Py_ssize_t kPositional = 7, kRequired = 0;

    static std::optional<SpecEngine> make(const py::Args<9>& a, SpecCommon common) {
        bool auto_wrap = true;
        Tri symbolic = Tri::Unset;
        if (!py::opt_bool("auto_wrap", a[py::param_index(kParams, "auto_wrap")], true,
                          auto_wrap) ||
            !read_symbolic_arg(a[py::param_index(kParams, "symbolic")], symbolic))
            return std::nullopt;
        return dict_new(a[py::param_index(kParams, "schema")], symbolic, auto_wrap,
                        std::move(common));
    }
    static std::optional<SpecEngine> read_json(const JsonRow& row, SpecCommon common) {
        py::Ref schema;
        Tri symbolic = Tri::Unset;
        bool auto_wrap = true;
        if (!row.field<"schema">(schema) || !row.transform(common) ||
            !row.tri<"symbolic">(symbolic) || row.flag<"auto_wrap">(auto_wrap) < 0)
            return std::nullopt;
        return dict_new(schema.get(), symbolic, auto_wrap, std::move(common));
    }
    static PyMethodDef* methods() { return dict_methods; }
    static PyGetSetDef* getters() { return dict_getters; }
};

using Class = SpecClass<DictClass>;

// --- defaults -------------------------------------------------------------------------

const DictKind& dict_of(const SpecKind& kind) { return std::get<DictKind>(kind); }

bool has_schema(const DictKind& dict) { return dict.schema && dict.schema.get() != Py_None; }

// `schema.apply({}, allow_partial=True)`: the schema's idea of an empty
// dict, with every field's own default filled in.
py::Ref default_from_schema(PyObject* schema) {
    py::Ref empty = py::Ref::steal(PyDict_New());
    if (!empty) return {};
    PyObject* args[] = {schema, empty.get(), Py_True};
    return py::call_method_kw<"apply", "allow_partial">(args);
}

int dict_derived_default(const SpecEngine& engine, py::Ref& out) {
    const DictKind& dict = dict_of(engine.kind);
    if (!has_schema(dict)) return 0;
    out = default_from_schema(dict.schema.get());
    return out ? 1 : -1;
}

void dict_keep_default_origin(SpecKind& kind, DefaultOrigin origin) {
    std::get<DictKind>(kind).default_from_schema = origin == DefaultOrigin::Derived;
}

// A default that only mirrors the schema is left out of the JSON form.
bool dict_shows_default(const SpecEngine& engine) {
    return !dict_of(engine.kind).default_from_schema;
}

// --- apply ----------------------------------------------------------------------------

// Without auto_wrap the child transform stops at this dict.
void dict_settle_options(const SpecEngine& engine, ApplyOptions& options) {
    if (!dict_of(engine.kind).auto_wrap) options.child_transform = nullptr;
}

// A dict whose values are already what the schema produces is accepted
// whole.
Shortcut dict_shortcut(const SpecEngine& engine, PyObject* spec_obj, PyObject* value,
                       ApplyOptions& options, py::Ref& out) {
    return funnel::dict_shortcut(engine, spec_obj, value, options, out);
}

// Whether an open value spec accepts anything as it is.
int any_like(PyObject* spec) {
    PyTypeObject* any = any_type();
    if (!any) return -1;
    if (Py_TYPE(spec) == any) {
        py::Ref t = py::get_attr<"_transform">(spec);
        if (!t) return -1;
        const int frozen = schema::attr_truth<"_frozen">(spec);
        if (frozen < 0) return -1;
        return t.get() == Py_None && !frozen;
    }
    const int is_any = schema::attr_truth<"_is_any_type">(spec);
    if (is_any <= 0) return is_any;
    py::Ref t = py::get_attr<"_transform">(spec);
    if (!t) return -1;
    if (t.get() != Py_None) return 0;
    const int frozen = schema::attr_truth<"_frozen">(spec);
    return frozen < 0 ? -1 : !frozen;
}

// `key, value = item` for one entry of an `items()` snapshot.
bool unpack_pair(PyObject* item, py::Ref& first, py::Ref& second) {
    py::Ref tuple = py::Ref::steal(PySequence_Tuple(item));
    if (!tuple) return false;
    if (PyTuple_GET_SIZE(tuple.get()) != 2) {
        PyErr_Format(PyExc_ValueError, "expected 2 values to unpack, got %zd",
                     PyTuple_GET_SIZE(tuple.get()));
        return false;
    }
    first = py::Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 0));
    second = py::Ref::borrow(PyTuple_GET_ITEM(tuple.get(), 1));
    return true;
}

py::Ref open_road(const DictKind& dict, py::Ref value, const ApplyOptions& options,
                  PyObject* path) {
    PyObject* spec = dict.open_str_value_spec.get();
    // The open value spec is held where only this loop runs between entries
    // (an exact dict with exact str keys, a spec that is not any-like, whose
    // skip test reads the entry's class attributes); each entry sees the spec
    // as it is when it is applied.
    ElementGuard guard;
    if (!guard.begin(spec, PyDict_CheckExact(value.get()))) return {};
    const int any = any_like(spec);
    if (any < 0) return {};
    if (any) guard.release();
    py::Ref leaf;
    if (!funnel::spec_exact_leaf_type(spec, leaf)) return {};
    py::Ref target = value;
    if (!options.inplace && PyDict_CheckExact(value.get())) {
        target = py::call_method<"copy">(value.get());
        if (!target) return {};
    }
    // A symbolic dictionary is held for the pass and takes its write-backs
    // back should it fail, as the schema's own pass does.
    ContainerPassScope held;
    if (!PyDict_CheckExact(target.get()) && held.begin(target.get(), true) < 0) return {};
    py::Ref items_view = py::call_method<"items">(value.get());
    if (!items_view) return {};
    py::Ref items = py::Ref::steal(PySequence_List(items_view.get()));
    if (!items) return {};
    PyObject *apply_name, *kw, *custom_typing;
    if (!py::intern<"apply">(apply_name) ||
        !py::names<"allow_partial", "inplace", "root_path">(kw) ||
        !py::intern<"__vesk_custom_typing__">(custom_typing))
        return {};
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref pair = py::Ref::borrow(PyList_GET_ITEM(items.get(), i));
        py::Ref k, v;
        if (!unpack_pair(pair.get(), k, v)) return {};
        if (!PyUnicode_Check(k.get())) {
            guard.release();
            py::Ref whole = schema::schema_apply(dict.schema.get(), target.get(),
                                                 options.allow_partial, nullptr, path,
                                                 options.inplace);
            if (!whole || held.commit() < 0) return {};
            return whole;
        }
        // A str subclass may hash and compare in Python.
        if (!PyUnicode_CheckExact(k.get())) guard.release();
        if (leaf && reinterpret_cast<PyObject*>(Py_TYPE(v.get())) == leaf.get()) continue;
        if (any) {
            if (is_any_fast_type(v.get(), true)) continue;
            const int custom = PyObject_HasAttrWithError(
                reinterpret_cast<PyObject*>(Py_TYPE(v.get())), custom_typing);
            if (custom < 0) return {};
            const int missing = custom ? 1 : is_missing(v.get());
            if (missing < 0) return {};
            if (!missing) continue;
        }
        py::Ref result;
        if (guard.held()) {
            const bool quiet = guard.quiet_for(v.get());
            result = apply_held_element_lazily(
                guard, v.get(), options,
                [&] { return topology::child_key_path(k.get(), path); });
            // User code may have run: the next entry reads the spec afresh.
            if (result && !quiet && !guard.refresh()) return {};
        } else {
            py::Ref child = topology::child_key_path(k.get(), path);
            if (!child) return {};
            PyObject* args[] = {spec, v.get(), options.allow_partial ? Py_True : Py_False,
                                options.inplace ? Py_True : Py_False, child.get()};
            result = py::Ref::steal(PyObject_VectorcallMethod(
                apply_name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
        }
        if (!result) return {};
        if (result.get() == v.get()) continue;
        // A symbolic dict's write takes the entry as applied by this value
        // spec, its own field's when the dict is bound to this Dict
        // (applied_members.hpp).
        AppliedWriteScope named(target.get(), k.get(), result.get(), Applied::ThroughSpec, spec,
                                options.allow_partial);
        if (PyObject_SetItem(target.get(), k.get(), result.get()) < 0) return {};
    }
    if (held.commit() < 0) return {};
    return target;
}

py::Ref dict_apply(const SpecEngine& engine, py::Ref value, const ApplyOptions& options,
                   PyObject*) {
    const DictKind& dict = std::get<DictKind>(engine.kind);
    if (dict.schema.get() == Py_None) return value;
    py::Ref path = options.root_path ? py::Ref::borrow(options.root_path)
                                     : topology::make_key_path(std::span<const topology::Key>{});
    if (!path) return {};
    if (options.child_transform || !dict.open_str_value_spec)
        return schema::schema_apply(dict.schema.get(), value.get(), options.allow_partial,
                                    options.child_transform, path.get(), options.inplace);
    return open_road(dict, std::move(value), options, path.get());
}

// --- the rest of the kind's table -------------------------------------------------------

const KindClass& dict_class_of(const SpecKind&) { return Class::kClass; }

// Dict(fields=[...], symbolic, auto_wrap, noneable, frozen, strict): never
// the default, which a schema makes for itself.
bool dict_format_items(SpecItems& items) {
    const DictKind& dict = dict_of(items.engine().kind);
    py::Ref fields = py::Ref::borrow(Py_None);
    if (dict.schema.get() != Py_None) {
        py::Ref values = py::call_method<"values">(dict.schema.get());
        if (!values) return false;
        fields = py::Ref::steal(PySequence_List(values.get()));
        if (!fields) return false;
    }
    return items.add("fields", fields.get(), Py_None) &&
           items.add("symbolic", tri_object(dict.symbolic), Py_None) &&
           items.add("auto_wrap", dict.auto_wrap ? Py_True : Py_False, Py_True) &&
           items.add_noneable() && items.add_frozen() && items.add_strict();
}

bool dict_write_json(SpecJsonWriter& w, const SpecEngine& e) {
    const DictKind& d = dict_of(e.kind);
    return (d.schema.get() == Py_None || w.conv<"schema">(d.schema.get())) &&
           w.conv_if<"transform">(e.transform) && w.tri<"symbolic">(d.symbolic) &&
           (d.auto_wrap || w.put<"auto_wrap">(Py_False)) && w.noneable_frozen_strict(e);
}

// The `value` of each field of the schema's `fields` mapping, in order.
bool schema_field_specs(const DictKind& dict, std::vector<py::Ref>& out) {
    py::Ref fields = py::get_attr<"fields">(dict.schema.get());
    if (!fields) return false;
    py::Ref values = py::call_method<"values">(fields.get());
    return values && append_field_values(values.get(), out);
}

// A new set (empty without a schema) with the refs of the spec of each
// field of the schema.
py::Ref dict_forward_refs(const SpecEngine& engine) {
    const DictKind& dict = dict_of(engine.kind);
    py::Ref refs = new_ref_set();
    if (!refs || !has_schema(dict)) return refs;
    std::vector<py::Ref> specs;
    if (!schema_field_specs(dict, specs)) return {};
    for (const py::Ref& spec : specs)
        if (add_forward_refs_of(refs.get(), spec.get()) < 0) return {};
    return refs;
}

// dict[str, typing.Any], whatever the schema.
py::Ref dict_annotation(const SpecEngine&) {
    PyObject* any;
    if (!py::imported<"typing", "Any">(any)) return {};
    py::Ref args =
        py::Ref::steal(PyTuple_Pack(2, reinterpret_cast<PyObject*>(&PyUnicode_Type), any));
    return args ? subscript(reinterpret_cast<PyObject*>(&PyDict_Type), args.get()) : py::Ref();
}

bool dict_strict_children(const SpecEngine& e, std::vector<py::Ref>& out) {
    const DictKind& dict = dict_of(e.kind);
    return !has_schema(dict) || schema_field_specs(dict, out);
}

// A deep copy owns its schema; the open value spec follows the new schema.
int dict_deep_clone(SpecEngine& copy, PyObject* memo) {
    DictKind& dict = std::get<DictKind>(copy.kind);
    if (dict.schema.get() == Py_None) return 0;
    py::Ref schema = deep_copy(dict.schema.get(), memo);
    if (!schema) return -1;
    py::Ref open;
    if (compute_open_str_value_spec(schema.get(), open) < 0) return -1;
    dict.schema = std::move(schema);
    dict.open_str_value_spec = std::move(open);
    return 0;
}

int dict_equal(const SpecEngine& engine, PyObject* other) {
    const DictKind& dict = dict_of(engine.kind);
    const int flags = eq_storage_flags(dict.symbolic, dict.auto_wrap, other);
    if (flags != 1) return flags;
    return eq_attr<"schema">(dict.schema ? dict.schema.get() : Py_None, other);
}

// No schema accepts all; otherwise the other's schema must be one the
// receiver's schema is compatible with (its answer taken by its truth).
int dict_compatible(const SpecEngine& engine, PyObject*, PyObject* other) {
    const DictKind& dict = dict_of(engine.kind);
    if (!has_schema(dict)) return 1;
    py::Ref theirs = py::get_attr<"schema">(other);
    if (!theirs) return -1;
    if (theirs.get() == Py_None) return 0;
    py::Ref answer = py::call_method<"is_compatible">(dict.schema.get(), theirs.get());
    return answer ? PyObject_IsTrue(answer.get()) : -1;
}

// `dict(*args, **kwargs)` (the built-in), applied.
PyObject* dict_call(const SpecEngine& engine, PyObject* self, PyObject* args, PyObject* kwargs) {
    PyObject* dict_cls;
    if (!py::imported<"builtins", "dict">(dict_cls)) return nullptr;
    return apply_made(engine, self, py::Ref::steal(PyObject_Call(dict_cls, args, kwargs)))
        .release();
}

// A noneable Dict asked for None as default takes it whatever it had; back
// from noneable, a None default becomes the one the Dict makes: the
// schema's, if any.
int dict_noneable(SpecEngine& engine, bool is_noneable, bool none_default, Detached& detached) {
    engine.is_noneable = is_noneable;
    if (is_noneable && none_default) return store_unapplied(engine, Py_None, detached);
    if (!is_noneable && engine.default_value.get() == Py_None) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return -1;
        return store_unapplied(engine, bridge->missing_value.get(), detached);
    }
    return 0;
}

// Stores a Dict's new default, open str value spec and, when given, schema.
// The factory and `default_from_schema` stay as they were.
int store_dict_parts(SpecScope child, py::Ref default_value, py::Ref schema, py::Ref open) {
    const int missing = is_missing(default_value.get());
    if (missing < 0) return -1;
    if (missing) {
        // A copied missing value stands for "no default": keep the canonical one.
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return -1;
        default_value = bridge->missing_value;
    }
    return extension::with_child_held(child, [&](SpecEngine& engine) {
        engine.default_value.swap(default_value);
        DictKind& dict = std::get<DictKind>(engine.kind);
        if (schema) dict.schema.swap(schema);
        dict.open_str_value_spec.swap(open);
        return 0;
    });
}

// The child extends its schema on the base's, or takes a deep copy of the
// base's schema and default when it has none; either way its default
// follows the schema.
int dict_extend(SpecScope child_scope, PyObject* base) {
    PyObject* child = child_scope.object();
    py::Ref base_schema = py::get_attr<"schema">(base);
    if (!base_schema || base_schema.get() == Py_None) return base_schema ? 0 : -1;
    py::Ref own_schema = py::get_attr<"schema">(child);
    if (!own_schema) return -1;
    py::Ref open;
    if (own_schema.get() != Py_None) {
        if (extension::call_extend(own_schema.get(), base_schema.get()) < 0) return -1;
        py::Ref made = default_from_schema(own_schema.get());
        if (!made || compute_open_str_value_spec(own_schema.get(), open) < 0) return -1;
        return store_dict_parts(child_scope, std::move(made), {}, std::move(open));
    }
    py::Ref schema = py::call_imported<"copy", "deepcopy">(base_schema.get());
    if (!schema) return -1;
    py::Ref base_default = py::get_attr<"default">(base);
    if (!base_default) return -1;
    py::Ref copied = py::call_imported<"copy", "deepcopy">(base_default.get());
    if (!copied || compute_open_str_value_spec(schema.get(), open) < 0) return -1;
    return store_dict_parts(child_scope, std::move(copied), std::move(schema), std::move(open));
}

}  // namespace

PyTypeObject* dict_type() { return Class::type(); }

constinit const KindOps DictKind::ops{
    .class_of = dict_class_of,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = dict_format_items,
    .write_json = dict_write_json,
    .derived_default = dict_derived_default,
    .keep_default_origin = dict_keep_default_origin,
    .shows_default = dict_shows_default,
    .settle_options = dict_settle_options,
    .shortcut = dict_shortcut,
    .coerce = kCommon,
    .apply_kind = dict_apply,
    .validate = kCommon,
    .forward_refs = dict_forward_refs,
    .value_type_obj = kCommon,
    .annotation = dict_annotation,
    .optional_when_noneable = true,
    .leaf = kCommon,
    .descends = true,
    .constrains = false,
    .strict_children = dict_strict_children,
    .deep_clone_payload = dict_deep_clone,
    .equal = dict_equal,
    .compatible_first = kCommon,
    .compatible = dict_compatible,
    .call = dict_call,
    .noneable = dict_noneable,
    .extend = dict_extend,
};

}  // namespace vesk::typing
