// Dict: the spec of a Python dict described by a Schema (its ordered
// fields), or of any dict when it has none. The schema is applied through
// its own `apply`, called by attribute name so that Schema subclasses and
// pure-Python schemas are honoured; a schema whose one field takes every str
// key has its value spec applied per entry instead.
#include "py/args.hpp"
#include "py/lazy.hpp"
#include "py/type.hpp"
#include "topology/key_path.hpp"
#include "typing/bridge.hpp"
#include "typing/fast_types.hpp"
#include "typing/funnel/classify.hpp"
#include "typing/schema/drivers.hpp"
#include "typing/schema/schema.hpp"
#include "typing/schema/schema_ops.hpp"
#include "typing/value_spec/containers/containers.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/from_json.hpp"
#include "typing/value_spec/primitives/kind_class.hpp"
#include "typing/value_spec/primitives/primitives.hpp"
#include "typing/value_spec/utils.hpp"

namespace vesk::typing::containers {

using primitives::read_kind;

namespace {

// `create_schema(arg, allow_nonconst_keys=True)` through the bridge.
py::Ref create_schema(const TypingBridge& bridge, PyObject* arg) {
    PyObject* kw = py::names<"allow_nonconst_keys">();
    if (!kw) return {};
    PyObject* args[] = {arg, Py_True};
    return py::Ref::steal(PyObject_Vectorcall(bridge.create_schema.get(), args, 1, kw));
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

}  // namespace

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
    if (store_default(*engine, std::move(made.value), made.origin) < 0) return std::nullopt;
    return engine;
}

namespace {

// --- construction -------------------------------------------------------------

enum Param : std::size_t {
    kSchema, kDefault, kDefaultFactory, kTransform, kIsNoneable, kFrozen, kStrict, kSymbolic,
    kAutoWrap, kParamCount,
};

py::Params<kParamCount> kParams{
    "Dict",
    {"schema", "default", "default_factory", "transform", "is_noneable", "frozen", "strict",
     "symbolic", "auto_wrap"},
    7,
    0};

PyObject* construct(PyTypeObject* type, const py::Args<kParamCount>& a) {
    SpecCommon common;
    if (!primitives::convert_common({.default_value = a[kDefault],
                                     .default_factory = a[kDefaultFactory],
                                     .transform = a[kTransform],
                                     .is_noneable = a[kIsNoneable],
                                     .frozen = a[kFrozen],
                                     .strict = a[kStrict]},
                                    common))
        return nullptr;
    bool auto_wrap = true;
    if (!py::opt_bool("auto_wrap", a[kAutoWrap], true, auto_wrap)) return nullptr;
    Tri symbolic = Tri::Unset;
    if (PyObject* given = primitives::none_as_omitted(a[kSymbolic])) {
        bool b = false;
        if (!py::arg_bool("symbolic", given, b)) return nullptr;
        symbolic = tri_from_bool(b);
    }
    return primitives::wrap_built(type,
                                  dict_new(a[kSchema], symbolic, auto_wrap, std::move(common)));
}

PyObject* dict_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwds) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, kwds, a)) return nullptr;
    return construct(type, a);
}

PyObject* dict_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf,
                          PyObject* kwnames) {
    py::Args<kParamCount> a;
    if (!py::parse(kParams, args, PyVectorcall_NARGS(nargsf), kwnames, a)) return nullptr;
    return construct(reinterpret_cast<PyTypeObject*>(type), a);
}

// --- type arguments -------------------------------------------------------------

py::Params<1> kTypeArgs{"with_type_args", {"type_args"}, 1, 1};

void raise_type_args(PyObject* items) {
    PyErr_Format(PyExc_TypeError,
                 "`vk.typing.Dict` accepts 1 dict type argument or TypedDict class as the "
                 "schema, or 2 type arguments as the key type and value type. Encountered: %R.",
                 items);
}

// `Dict[str, V]` is the open schema of V; `Dict[K, V]` for any other K a
// schema-less Dict; `Dict[A]` takes a dict or TypedDict A as the schema.
py::Ref build_from_type_args(PyObject* type_args) {
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
    return py::Ref::steal(primitives::wrap_built(
        type, dict_new(schema.get(), Tri::Unset, true, std::move(common))));
}

PyObject* with_type_args(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kTypeArgs, args, nargs, kwnames, a)) return nullptr;
    return build_from_type_args(a[0]).release();
}

PyObject* class_getitem(PyObject*, PyObject* type_args) {
    return generic_getitem_result(build_from_type_args(type_args)).release();
}

// --- getters ----------------------------------------------------------------------

PyObject* tri_borrowed(Tri t) noexcept {
    return t == Tri::Unset ? Py_None : t == Tri::True ? Py_True : Py_False;
}
PyObject* tri_object(Tri t) { return py::new_ref(tri_borrowed(t)); }

PyObject* get_schema(PyObject* self) {
    return read_kind<DictKind>(self, [](const DictKind& d) { return py::new_ref(d.schema.get()); });
}
PyObject* get_symbolic(PyObject* self) {
    return read_kind<DictKind>(self, [](const DictKind& d) { return tri_object(d.symbolic); });
}
PyObject* get_auto_wrap(PyObject* self) {
    return read_kind<DictKind>(self, [](const DictKind& d) { return py::boolean(d.auto_wrap); });
}

PyMethodDef methods[] = {
    py::method<&primitives::copy<dict_type>>("__copy__"),
    py::method<&primitives::deepcopy<dict_type>>("__deepcopy__"),
    py::class_method<&from_json_method<"vesk.typing.Dict", dict_type>>("from_json"),
    py::class_method<&with_type_args>("with_type_args"),
    py::class_method<&class_getitem>("__class_getitem__"),
    py::kMethodsEnd,
};

PyGetSetDef getters[] = {
    py::getter<&primitives::skip_user_transform<dict_type>>("skip_user_transform"),
    py::getter<&get_schema>("schema"),
    py::getter<&get_symbolic>("symbolic"),
    py::getter<&get_auto_wrap>("auto_wrap"),
    py::kGettersEnd,
};

// --- engine entry ------------------------------------------------------------------

// Dict(fields=[...], symbolic, auto_wrap, noneable, frozen, strict): never
// the default, which a schema makes for itself.
bool dict_format_items(SpecItems& items) {
    const DictKind& dict = std::get<DictKind>(items.engine().kind);
    py::Ref fields = py::Ref::borrow(Py_None);
    if (dict.schema.get() != Py_None) {
        py::Ref values =
            py::Ref::steal(PyObject_CallMethodNoArgs(dict.schema.get(), py::intern<"values">()));
        if (!values) return false;
        fields = py::Ref::steal(PySequence_List(values.get()));
        if (!fields) return false;
    }
    return items.add("fields", fields.get(), Py_None) &&
           items.add("symbolic", tri_borrowed(dict.symbolic), Py_None) &&
           items.add("auto_wrap", dict.auto_wrap ? Py_True : Py_False, Py_True) &&
           items.add_noneable() && items.add_frozen() && items.add_strict();
}

const char* dict_label(const SpecKind&) { return "Dict"; }
const char* dict_key(const SpecKind&) { return "vesk.typing.Dict"; }
PyTypeObject* dict_class(const SpecKind&) { return dict_type(); }

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

// Whether an open value spec accepts anything as it is.
int any_like(PyObject* spec) {
    PyTypeObject* any = primitives::any_type();
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
    const int any = any_like(spec);
    if (any < 0) return {};
    py::Ref leaf;
    if (!funnel::spec_exact_leaf_type(spec, leaf)) return {};
    py::Ref target = value;
    if (!options.inplace && PyDict_CheckExact(value.get())) {
        target = py::Ref::steal(PyObject_CallMethodNoArgs(value.get(), py::intern<"copy">()));
        if (!target) return {};
    }
    py::Ref items_view =
        py::Ref::steal(PyObject_CallMethodNoArgs(value.get(), py::intern<"items">()));
    if (!items_view) return {};
    py::Ref items = py::Ref::steal(PySequence_List(items_view.get()));
    if (!items) return {};
    PyObject* apply_name = py::intern<"apply">();
    PyObject* kw = py::names<"allow_partial", "inplace", "root_path">();
    if (!apply_name || !kw) return {};
    const Py_ssize_t n = PyList_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < n; ++i) {
        py::Ref pair = py::Ref::borrow(PyList_GET_ITEM(items.get(), i));
        py::Ref k, v;
        if (!unpack_pair(pair.get(), k, v)) return {};
        if (!PyUnicode_Check(k.get()))
            return schema::schema_apply(dict.schema.get(), target.get(), options.allow_partial,
                                        nullptr, path, options.inplace);
        if (leaf && reinterpret_cast<PyObject*>(Py_TYPE(v.get())) == leaf.get()) continue;
        if (any) {
            if (is_any_fast_type(v.get(), true)) continue;
            const int custom = PyObject_HasAttrWithError(
                reinterpret_cast<PyObject*>(Py_TYPE(v.get())), py::intern<"__vesk_custom_typing__">());
            if (custom < 0) return {};
            const int missing = custom ? 1 : is_missing(v.get());
            if (missing < 0) return {};
            if (!missing) continue;
        }
        py::Ref child = topology::child_key_path(k.get(), path);
        if (!child) return {};
        PyObject* args[] = {spec, v.get(), options.allow_partial ? Py_True : Py_False,
                            options.inplace ? Py_True : Py_False, child.get()};
        py::Ref result = py::Ref::steal(PyObject_VectorcallMethod(
            apply_name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
        if (!result) return {};
        if (result.get() != v.get() && PyObject_SetItem(target.get(), k.get(), result.get()) < 0)
            return {};
    }
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

// Without auto_wrap the child transform stops at this dict.
Shortcut dict_shortcut(const SpecEngine& engine, PyObject*, PyObject*, ApplyOptions& options,
                       py::Ref&) {
    if (!std::get<DictKind>(engine.kind).auto_wrap) options.child_transform = nullptr;
    return Shortcut::Undecided;
}

}  // namespace

PyTypeObject* dict_type() {
    static py::TypeCell TYPE;
    PyTypeObject* base = spec_base_type();
    if (!base) return nullptr;
    return TYPE.get([&](py::TypeDef& t) {
        t.name("vesk_core._native.Dict")
            .doc("Dict(schema=None, default=..., default_factory=None, transform=None, "
                 "is_noneable=False, frozen=False, strict=None, *, symbolic=None, "
                 "auto_wrap=True)\n--\n\n")
            .base(base)
            .final_()
            .slots({py::slot<Py_tp_new, &dict_tp_new>()})
            .vectorcall<&dict_vectorcall>()
            .methods(methods)
            .getters(getters)
            .class_attr("__serialization_key__", "vesk.typing.Dict");
    });
}

}  // namespace vesk::typing::containers

namespace vesk::typing {

const KindOps kDictOps{
    .label = containers::dict_label,
    .serialization_key = containers::dict_key,
    .py_class = containers::dict_class,
    .repr_cacheable = false,
    .default_wrap_threshold = -1,
    .format_items = containers::dict_format_items,
    .shortcut = containers::dict_shortcut,
    .apply_kind = containers::dict_apply,
    .validate = nullptr,
    .deep_clone_payload = containers::dict_deep_clone,
    .forward_refs = nullptr,
    .value_type_obj = nullptr,
};

}  // namespace vesk::typing
