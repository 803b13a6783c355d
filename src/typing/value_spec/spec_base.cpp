// SpecBase: getters, apply entries, mutators, call and `|`.
#include "typing/value_spec/spec_base.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/lazy.hpp"
#include "py/methods.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/annotation.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/value_spec/engine/build.hpp"
#include "typing/value_spec/engine/equality.hpp"
#include "typing/value_spec/engine/kind_ops.hpp"
#include "typing/value_spec/extend.hpp"
#include "typing/value_spec/format.hpp"
#include "typing/value_spec/json_write.hpp"
#include "typing/value_spec/utils.hpp"

#include <vector>

namespace vesk::typing {

bool begin_mutation(py::ExclusiveBorrow& hold) {
    if (hold.try_acquire()) return true;
    PyErr_SetString(PyExc_RuntimeError, kMutationRefused);
    return false;
}

namespace {

py::TypeCell TYPE;

// A shared hold of a spec for one read. Usage:
//   Reader r(self); if (!r) return nullptr; ... r.engine() ...
class Reader {
public:
    explicit Reader(PyObject* self) noexcept : self_(self), hold_(spec_borrow(self)) {
        held_ = hold_.acquire();
    }
    explicit operator bool() const noexcept { return held_; }
    [[nodiscard]] const SpecEngine& engine() const noexcept { return spec_engine(self_); }

private:
    PyObject* self_;
    py::SharedBorrow hold_;
    bool held_;
};

[[nodiscard]] PyObject* or_none(const py::Ref& ref) {
    return py::new_ref(ref ? ref.get() : Py_None);
}
[[nodiscard]] PyObject* null_to_none(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

// The options of an apply entered from Python; `root_path` and
// `child_transform` None mean absent.
[[nodiscard]] ApplyOptions entry_options(PyObject* child_transform, PyObject* root_path,
                                         bool allow_partial, bool inplace) noexcept {
    ApplyOptions options;
    options.child_transform = child_transform ? null_to_none(child_transform) : nullptr;
    options.root_path = root_path ? null_to_none(root_path) : nullptr;
    options.allow_partial = allow_partial;
    options.run_user_transform = true;
    options.inplace = inplace;
    return options;
}

// --- getters ----------------------------------------------------------------

PyObject* get_value_type(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    py::Ref type;
    if (value_type_obj(r.engine(), type) < 0) return nullptr;
    return or_none(type);
}

PyObject* get_default(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return py::new_ref(r.engine().default_value.get());
}

PyObject* get_default_factory(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return or_none(r.engine().default_factory);
}

PyObject* get_transform(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return or_none(r.engine().transform);
}

PyObject* get_frozen(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return py::boolean(r.engine().frozen);
}

PyObject* get_is_noneable(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return py::boolean(r.engine().is_noneable);
}

PyObject* get_strict(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return py::boolean(r.engine().is_strict());
}

PyObject* get_has_default(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    if (r.engine().default_factory) return py::boolean(true);
    const int missing = is_missing(r.engine().default_value.get());
    if (missing < 0) return nullptr;
    return py::boolean(!missing);
}

PyObject* get_type_resolved(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    const int resolved = type_resolved(r.engine());
    if (resolved < 0) return nullptr;
    return py::boolean(resolved);
}

PyObject* get_forward_refs(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return forward_refs(r.engine()).release();
}

PyObject* get_raw_value_type(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    return or_none(r.engine().value_type);
}

PyObject* get_raw_strict(PyObject* self) {
    Reader r(self);
    if (!r) return nullptr;
    switch (r.engine().strict) {
        case Tri::True: return py::boolean(true);
        case Tri::False: return py::boolean(false);
        case Tri::Unset: break;
    }
    return py::none();
}

// --- apply entries --------------------------------------------------------------

py::Params kApplySig{"apply", {"value", "allow_partial", "child_transform", "root_path", "inplace"},
                     5, 1};

PyObject* spec_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    if (nargs == 1 && !kwnames) {
        // `spec.apply(value)`, the call every field and container makes:
        // every option at its default, no parsing needed.
        Reader r(self);
        if (!r) return nullptr;
        return apply(r.engine(), self, py::Ref::borrow(args[0]),
                     entry_options(nullptr, nullptr, false, true))
            .release();
    }
    py::Args<5> a;
    if (!py::parse(kApplySig, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial, inplace;
    if (!py::opt_bool("allow_partial", a[1], false, allow_partial) ||
        !py::opt_bool("inplace", a[4], true, inplace))
        return nullptr;
    Reader r(self);
    if (!r) return nullptr;
    return apply(r.engine(), self, py::Ref::borrow(a[0]),
                 entry_options(a[2], a[3], allow_partial, inplace))
        .release();
}

py::Params kKindApplySig{"_apply",
                         {"value", "allow_partial", "child_transform", "root_path", "inplace"}, 5,
                         4};

PyObject* spec_kind_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<5> a;
    if (!py::parse(kKindApplySig, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial, inplace;
    if (!py::arg_bool("allow_partial", a[1], allow_partial) ||
        !py::opt_bool("inplace", a[4], true, inplace))
        return nullptr;
    const ApplyOptions options = entry_options(a[2], a[3], allow_partial, inplace);
    py::Ref path_text = root_path_str(options.root_path);
    if (!path_text) return nullptr;
    Reader r(self);
    if (!r) return nullptr;
    auto apply_kind = ops(r.engine()).apply_kind;
    if (!apply_kind) return py::new_ref(a[0]);
    return apply_kind(r.engine(), py::Ref::borrow(a[0]), options, path_text.get()).release();
}

py::Params kValidateSig{"_validate", {"path", "value"}, 2, 2};

PyObject* spec_validate(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kValidateSig, args, nargs, kwnames, a)) return nullptr;
    Reader r(self);
    if (!r) return nullptr;
    if (validate(r.engine(), a[1], a[0]) < 0) return nullptr;
    return py::none();
}

// --- mutators -------------------------------------------------------------------

// `resolve_default` under a shared hold, so that the spec's own apply of the
// new value runs while the spec can be read but not changed.
[[nodiscard]] ResolvedDefault resolve_shared(PyObject* self, py::Ref value, bool apply_it,
                                             PyObject* root_path) {
    Reader r(self);
    if (!r) return {};
    return resolve_default(r.engine(), std::move(value), apply_it, root_path, self);
}

py::Params kSetDefaultSig{"set_default", {"default", "use_default_apply", "root_path"}, 3, 1};

PyObject* spec_set_default(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kSetDefaultSig, args, nargs, kwnames, a)) return nullptr;
    bool use_apply;
    if (!py::opt_bool("use_default_apply", a[1], true, use_apply)) return nullptr;
    PyObject* root_path = a[2] ? null_to_none(a[2]) : nullptr;
    ResolvedDefault resolved = resolve_shared(self, py::Ref::borrow(a[0]), use_apply, root_path);
    if (!resolved.value) return nullptr;
    py::ExclusiveBorrow hold(spec_borrow(self));
    if (!begin_mutation(hold)) return nullptr;
    if (store_default(spec_engine(self), std::move(resolved.value), resolved.origin) < 0)
        return nullptr;
    return py::new_ref(self);
}

py::Params kSetFactorySig{"set_default_factory", {"default_factory"}, 1, 1};

PyObject* spec_set_default_factory(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kSetFactorySig, args, nargs, kwnames, a)) return nullptr;
    py::ExclusiveBorrow hold(spec_borrow(self));
    if (!begin_mutation(hold)) return nullptr;
    if (set_default_factory(spec_engine(self), py::Ref::borrow(null_to_none(a[0]))) < 0)
        return nullptr;
    return py::new_ref(self);
}

py::Params kSetTransformSig{"set_transform", {"transform"}, 1, 1};

PyObject* spec_set_transform(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kSetTransformSig, args, nargs, kwnames, a)) return nullptr;
    py::ExclusiveBorrow hold(spec_borrow(self));
    if (!begin_mutation(hold)) return nullptr;
    PyObject* transform = null_to_none(a[0]);
    if (transform && !PyCallable_Check(transform)) {
        PyErr_Format(PyExc_TypeError,
                     "`transform` must be a single-arg callable. Encountered: %R.", transform);
        return nullptr;
    }
    SpecEngine& engine = spec_engine(self);
    engine.transform = py::Ref::borrow(transform);
    engine.repr_cache.clear();
    return py::new_ref(self);
}

py::Params kSetStrictSig{"set_strict", {"strict"}, 1, 1};

PyObject* spec_set_strict(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kSetStrictSig, args, nargs, kwnames, a)) return nullptr;
    Tri strict = Tri::Unset;
    if (a[0] != Py_None) {
        bool b;
        if (!py::arg_bool("strict", a[0], b)) return nullptr;
        strict = tri_from_bool(b);
    }
    py::ExclusiveBorrow hold(spec_borrow(self));
    if (!begin_mutation(hold)) return nullptr;
    SpecEngine& engine = spec_engine(self);
    engine.strict = strict;
    engine.repr_cache.clear();
    return py::new_ref(self);
}

// Stores `value` as the new default without applying it (the spec is held
// exclusively by the caller).
[[nodiscard]] int store_unapplied(SpecEngine& engine, PyObject* value) {
    ResolvedDefault resolved = resolve_default(engine, py::Ref::borrow(value), false, nullptr,
                                               nullptr);
    if (!resolved.value) return -1;
    return store_default(engine, std::move(resolved.value), resolved.origin);
}

[[nodiscard]] int enum_noneable(SpecEngine& engine, bool is_noneable) {
    PyObject* values = kind_as<EnumKind>(engine.kind)->values.get();
    const int has_none = PySequence_Contains(values, Py_None);
    if (has_none < 0) return -1;
    if (is_noneable && !has_none) {
        if (PyList_Append(values, Py_None) < 0) return -1;
    } else if (!is_noneable && has_none) {
        // Only the first element that is None itself goes.
        Py_ssize_t found = -1;
        for (Py_ssize_t i = 0;; ++i) {
            py::Ref item = py::list_item(values, i);
            if (!item) break;
            if (item.get() == Py_None) {
                found = i;
                break;
            }
        }
        if (found >= 0 && PySequence_DelItem(values, found) < 0) return -1;
        if (engine.default_value.get() == Py_None) {
            const TypingBridge* bridge = typing_bridge();
            if (!bridge || store_unapplied(engine, bridge->missing_value.get()) < 0) return -1;
        }
    }
    engine.is_noneable = is_noneable;
    return 0;
}

[[nodiscard]] int dict_noneable(SpecEngine& engine, bool is_noneable, bool none_default) {
    engine.is_noneable = is_noneable;
    if (is_noneable && none_default) return store_unapplied(engine, Py_None);
    if (!is_noneable && engine.default_value.get() == Py_None) {
        // Back to the default a Dict without one has: the schema's, if any.
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return -1;
        return store_unapplied(engine, bridge->missing_value.get());
    }
    return 0;
}

[[nodiscard]] int plain_noneable(SpecEngine& engine, bool is_noneable, bool none_default) {
    engine.is_noneable = is_noneable;
    if (engine.default_factory) return 0;
    if (is_noneable && none_default) {
        const int missing = is_missing(engine.default_value.get());
        if (missing < 0) return -1;
        if (missing) return store_unapplied(engine, Py_None);
    } else if (!is_noneable && engine.default_value.get() == Py_None) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return -1;
        return store_unapplied(engine, bridge->missing_value.get());
    }
    return 0;
}

// `noneable(is_noneable, use_none_as_default=False)` on each candidate.
[[nodiscard]] int candidates_noneable(PyObject* candidates, bool is_noneable) {
    PyObject* name = py::intern<"noneable">();
    PyObject* kwnames = py::names<"use_none_as_default">();
    if (!name || !kwnames) return -1;
    for (Py_ssize_t i = 0;; ++i) {
        py::Ref candidate = py::list_item(candidates, i);
        if (!candidate) break;
        PyObject* call[] = {candidate.get(), is_noneable ? Py_True : Py_False, Py_False};
        py::Ref done = py::Ref::steal(PyObject_VectorcallMethod(
            name, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames));
        if (!done) return -1;
    }
    return 0;
}

py::Params kNoneableSig{"noneable", {"is_noneable", "use_none_as_default"}, 2, 0};

PyObject* spec_noneable(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kNoneableSig, args, nargs, kwnames, a)) return nullptr;
    bool is_noneable, none_default;
    if (!py::opt_bool("is_noneable", a[0], true, is_noneable) ||
        !py::opt_bool("use_none_as_default", a[1], true, none_default))
        return nullptr;
    py::ExclusiveBorrow hold(spec_borrow(self));
    if (!begin_mutation(hold)) return nullptr;
    SpecEngine& engine = spec_engine(self);
    engine.repr_cache.clear();
    int done;
    switch (engine.id()) {
        case KindId::Enum: done = enum_noneable(engine, is_noneable); break;
        case KindId::Dict: done = dict_noneable(engine, is_noneable, none_default); break;
        default: done = plain_noneable(engine, is_noneable, none_default); break;
    }
    if (done < 0) return nullptr;
    if (const UnionKind* u = kind_as<UnionKind>(engine.kind);
        u && candidates_noneable(u->candidates.get(), is_noneable) < 0)
        return nullptr;
    return py::new_ref(self);
}

py::Params kFreezeSig{"freeze", {"permanent_value", "apply_before_use"}, 2, 0};

PyObject* spec_freeze(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kFreezeSig, args, nargs, kwnames, a)) return nullptr;
    bool apply_first;
    if (!py::opt_bool("apply_before_use", a[1], true, apply_first)) return nullptr;
    ResolvedDefault resolved;
    {
        Reader r(self);
        if (!r) return nullptr;
        const SpecEngine& engine = r.engine();
        py::Ref chosen;
        if (a[0]) {
            const int missing = is_missing(a[0]);
            if (missing < 0) return nullptr;
            if (!missing) chosen = py::Ref::borrow(a[0]);
        }
        if (!chosen && engine.default_factory) {
            chosen = py::Ref::steal(PyObject_CallNoArgs(engine.default_factory.get()));
            if (!chosen) return nullptr;
        }
        if (!chosen) {
            const int missing = is_missing(engine.default_value.get());
            if (missing < 0) return nullptr;
            if (missing) {
                py::Ref text = repr(engine);
                if (text)
                    PyErr_Format(PyExc_ValueError, "Cannot freeze %U without a default value.",
                                 text.get());
                return nullptr;
            }
        } else {
            resolved = resolve_default(engine, std::move(chosen), apply_first, nullptr, self);
            if (!resolved.value) return nullptr;
        }
    }
    py::ExclusiveBorrow hold(spec_borrow(self));
    if (!begin_mutation(hold)) return nullptr;
    SpecEngine& engine = spec_engine(self);
    engine.repr_cache.clear();
    if (resolved.value && store_default(engine, std::move(resolved.value), resolved.origin) < 0)
        return nullptr;
    engine.frozen = true;
    return py::new_ref(self);
}

// The default as `materialize_default` hands it out (under the caller's
// shared hold).
[[nodiscard]] py::Ref materialize(const SpecEngine& engine, PyObject* self, bool allow_partial) {
    if (!engine.default_factory) return copy_default_value(engine.default_value.get(), nullptr);
    if (allow_partial) return fresh_missing();
    py::Ref made = py::Ref::steal(PyObject_CallNoArgs(engine.default_factory.get()));
    if (!made) return {};
    return apply(engine, self, std::move(made), entry_options(nullptr, nullptr, false, true));
}

py::Params kMaterializeSig{"materialize_default", {"allow_partial"}, 1, 0};

PyObject* spec_materialize_default(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kMaterializeSig, args, nargs, kwnames, a)) return nullptr;
    bool allow_partial;
    if (!py::opt_bool("allow_partial", a[0], false, allow_partial)) return nullptr;
    Reader r(self);
    if (!r) return nullptr;
    return materialize(r.engine(), self, allow_partial).release();
}

py::Params kJsonSchemaSig{"to_json_schema", py::Keywords::Ignore};

PyObject* spec_to_json_schema(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    py::Args<0> a;
    if (!py::parse(kJsonSchemaSig, args, nargs, kwnames, a)) return nullptr;
    PyObject* fn = json_schema_fn();
    if (!fn) return nullptr;
    // The keywords go on as they came: the spec, then the keyword values.
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    std::vector<PyObject*> stack(static_cast<std::size_t>(nkw) + 1);
    stack[0] = self;
    for (Py_ssize_t i = 0; i < nkw; ++i) stack[static_cast<std::size_t>(i) + 1] = args[i];
    return PyObject_Vectorcall(fn, stack.data(), 1, kwnames);
}

// --- special methods ---------------------------------------------------------------

[[nodiscard]] py::Ref apply_made(const SpecEngine& engine, PyObject* self, py::Ref made) {
    if (!made) return {};
    return apply(engine, self, std::move(made), entry_options(nullptr, nullptr, false, true));
}

PyObject* spec_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    Reader r(self);
    if (!r) return nullptr;
    const SpecEngine& engine = r.engine();
    switch (engine.id()) {
        case KindId::Any:
        case KindId::Union:
        case KindId::Callable: {
            py::Ref text = repr(engine);
            if (text) PyErr_Format(PyExc_TypeError, "%U cannot be instantiated.", text.get());
            return nullptr;
        }
        case KindId::Object: {
            py::Ref cls;
            if (value_type_obj(engine, cls) < 0) return nullptr;
            if (!cls) {
                py::raise_internal("Object resolves to a class");
                return nullptr;
            }
            return apply_made(engine, self, py::Ref::steal(PyObject_Call(cls.get(), args, kwargs)))
                .release();
        }
        case KindId::Type: {
            const TypeKind& type = std::get<TypeKind>(engine.kind);
            if (!type.forward_ref) return py::new_ref(type.t.get());
            PyObject* name = py::intern<"cls">();
            return name ? PyObject_GetAttr(type.forward_ref.get(), name) : nullptr;
        }
        case KindId::Dict: {
            PyObject* dict_cls = py::imported<"builtins", "dict">();
            if (!dict_cls) return nullptr;
            return apply_made(engine, self, py::Ref::steal(PyObject_Call(dict_cls, args, kwargs)))
                .release();
        }
        default: break;
    }
    // Bool, Str, Number, Enum, List, Tuple.
    if (PyTuple_GET_SIZE(args) == 0) {
        const int missing = is_missing(engine.default_value.get());
        if (missing < 0) return nullptr;
        if (!missing) return py::new_ref(engine.default_value.get());
        // A factory's product, applied: what materialize_default gives.
        if (engine.default_factory) return materialize(engine, self, false).release();
    }
    if (engine.frozen) return py::new_ref(engine.default_value.get());
    if (engine.id() == KindId::Enum) {
        PyObject* name = py::intern<"apply">();
        py::Ref method = py::Ref::steal(name ? PyObject_GetAttr(self, name) : nullptr);
        return method ? PyObject_Call(method.get(), args, nullptr) : nullptr;
    }
    if (!engine.value_type) {
        py::raise_internal("primitive value_type");
        return nullptr;
    }
    return apply_made(engine, self,
                      py::Ref::steal(PyObject_CallObject(engine.value_type.get(), args)))
        .release();
}

// `==` and `!=` through spec equality; orderings are not defined.
PyObject* spec_richcompare(PyObject* self, PyObject* other, int op) {
    if ((op != Py_EQ && op != Py_NE) || !is_spec(self)) return py::not_implemented();
    Reader r(self);
    if (!r) return nullptr;
    const int eq = spec_equal(r.engine(), self, other);
    if (eq < 0) return nullptr;
    return py::boolean((eq == 1) == (op == Py_EQ));
}

PyObject* spec_is_compatible(PyObject* self, PyObject* other) {
    Reader r(self);
    if (!r) return nullptr;
    const int compatible = spec_compatible(r.engine(), self, other);
    if (compatible < 0) return nullptr;
    return py::boolean(compatible == 1);
}

PyObject* spec_or(PyObject* left, PyObject* right) {
    if (!is_spec(left) && !is_spec(right)) return py::not_implemented();
    return union_getitem(left, right).release();
}

// --- the class ------------------------------------------------------------------

// Specs are made only by the kind classes (their own `__new__`, copies,
// `from_json`); SpecBase itself, and a Python subclass that adds no
// constructor, cannot be instantiated.
PyObject* spec_no_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
    return nullptr;
}

PyGetSetDef getters[] = {
    py::getter<get_value_type>("value_type"),
    py::getter<get_default>("default"),
    py::getter<get_default_factory>("default_factory"),
    py::getter<get_transform>("transform"),
    py::getter<get_frozen>("frozen"),
    py::getter<get_is_noneable>("is_noneable"),
    py::getter<get_strict>("strict"),
    py::getter<get_has_default>("has_default"),
    py::getter<get_type_resolved>("type_resolved"),
    py::getter<get_forward_refs>("forward_refs"),
    py::getter<get_raw_value_type>("_value_type"),
    py::getter<get_default>("_default"),
    py::getter<get_default_factory>("_default_factory"),
    py::getter<get_transform>("_transform"),
    py::getter<get_frozen>("_frozen"),
    py::getter<get_is_noneable>("_is_noneable"),
    py::getter<get_raw_strict>("_strict"),
    py::getter<get_is_any_type>("_is_any_type"),
    py::getter<get_is_inherit_marker>("_is_inherit_marker"),
    py::getter<get_value_type_plain>("_value_type_plain"),
    py::getter<get_has_custom_apply>("_has_custom_apply"),
    py::getter<get_has_custom_validate>("_has_custom_validate"),
    py::getter<get_validate_is_noop>("_validate_is_noop"),
    py::getter<get_annotation>("annotation"),
    py::getter<get_fast_apply_info>("fast_apply_info"),
    py::getter<get_exact_leaf_type>("_exact_leaf_type"),
    py::getter<get_checked_leaf_type>("_checked_leaf_type"),
    py::kGettersEnd,
};

PyMethodDef methods[] = {
    py::method<spec_apply>("apply"),
    py::method<spec_kind_apply>("_apply"),
    py::method<spec_validate>("_validate"),
    py::method<spec_set_default>("set_default"),
    py::method<spec_set_default_factory>("set_default_factory"),
    py::method<spec_set_transform>("set_transform"),
    py::method<spec_set_strict>("set_strict"),
    py::method<spec_materialize_strict>("_materialize_strict"),
    py::method<spec_noneable>("noneable"),
    py::method<spec_freeze>("freeze"),
    py::method<spec_materialize_default>("materialize_default"),
    py::method<spec_extend>("extend"),
    py::method<spec_format>("format"),
    py::method<spec_is_compatible>("is_compatible"),
    py::method<spec_to_json>("to_json", "to_json($self, **kwargs)\n--\n\nThe JSON-ready dict."),
    py::method<spec_to_json_schema>("to_json_schema"),
    py::kMethodsEnd,
};

void declare(py::TypeDef& t) {
    t.name("vesk_core._native.SpecBase")
        .doc("Base class of every value spec.")
        .state<SpecEngine>()
        .subclassable()
        .slots({
            py::slot<Py_tp_new, spec_no_new>(),
            py::slot<Py_tp_str, spec_str>(),
            py::slot<Py_tp_repr, spec_repr>(),
            py::slot<Py_tp_call, spec_call>(),
            py::slot<Py_nb_or, spec_or>(),
            py::slot<Py_tp_richcompare, spec_richcompare>(),
        })
        .methods(methods)
        .getters(getters)
        .class_attr("__vesk_formattable__", Py_True);
}

}  // namespace

PyTypeObject* spec_base_type() { return TYPE.get(declare); }

PyTypeObject* spec_base_type_if_built() noexcept { return TYPE.peek(); }

py::Ref wrap_engine(PyTypeObject* type, SpecEngine&& engine) {
    SpecEngine taken = std::move(engine);
    py::Ref obj = py::alloc<SpecEngine>(type);
    if (!obj) return {};
    spec_engine(obj.get()) = std::move(taken);
    return obj;
}

}  // namespace vesk::typing
