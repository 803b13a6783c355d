#include "symbolic/formalize.hpp"

#include "flags.hpp"
#include "py/args.hpp"
#include "py/lazy.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/shortcuts.hpp"
#include "topology/key_path.hpp"
#include "typing/field/field.hpp"
#include "typing/field/has_validator.hpp"
#include "typing/meta_epoch.hpp"
#include "typing/value_spec/engine/classify.hpp"
#include "typing/schema/dict_spec_facts.hpp"
#include "typing/value_spec/engine/spec_engine.hpp"
#include "py/hold.hpp"

namespace vesk::symbolic {

using typing::Tri;

namespace {

// The rest of a field's apply for a value its value spec applied already:
// the field's validator, when the field validates at all. A field of
// another class (the package's own field class may wrap a native one)
// names its validator by attribute, as the schema's missing-key fill reads
// it. 0 or -1.
int validate_spec_applied(PyObject* field, PyObject* value, PyObject* key,
                          const FormalizeContext& ctx) {
    const int validates = field_validates(field);
    if (validates <= 0) return validates;
    if (typing::field::is_field(field)) {
        py::Ref path = topology::child_key_path(key, ctx.path.get());
        return path ? typing::field::apply_validator(field, value, path.get()) : -1;
    }
    py::Ref validator = py::get_attr<"validator">(field);
    if (!validator) return -1;
    if (validator.get() == Py_None) return 0;
    py::Ref path = topology::child_key_path(key, ctx.path.get());
    return path ? typing::field::call_validator(validator.get(), value, path.get()) : -1;
}

// A primitive value: validated by its field unless the field takes it as
// it is; never wrapped nor adopted.
py::Ref formalize_primitive(PyObject* key, PyObject* field, PyObject* value,
                            const FormalizeContext& ctx) {
    using typing::Applied;
    if (!field || ctx.applied == Applied::ThroughField) return py::Ref::borrow(value);
    const int kept = native_field_keeps(field, value, ctx.current_meta);
    if (kept != 0) return kept < 0 ? py::Ref() : py::Ref::borrow(value);
    if (ctx.applied == Applied::ThroughSpec)
        return validate_spec_applied(field, value, key, ctx) < 0 ? py::Ref()
                                                                 : py::Ref::borrow(value);
    const int validates = field_validates(field);
    if (validates <= 0) return validates < 0 ? py::Ref() : py::Ref::borrow(value);
    py::Ref spec = py::get_attr<"value">(field);
    if (!spec) return {};
    py::Ref leaf;
    if (!typing::funnel::spec_exact_leaf_type(spec.get(), leaf)) return {};
    if (leaf && reinterpret_cast<PyObject*>(Py_TYPE(value)) == leaf.get()) {
        const int has_validator = typing::field::field_has_validator(field);
        if (has_validator <= 0) return has_validator < 0 ? py::Ref() : py::Ref::borrow(value);
    }
    py::Ref path = topology::child_key_path(key, ctx.path.get());
    if (!path) return {};
    return call_field_apply(field, value, ctx.effective_allow_partial, nullptr, path.get());
}

// What the field's spec says about wrapping (`symbolic`), or unset.
Tri spec_symbolic(PyObject* spec) noexcept {
    py::Ref answer = py::get_attr<"symbolic">(spec);
    bool out = false;
    if (!answer || answer.get() == Py_None || !py::arg_bool_scalar("symbolic", answer.get(), out)) {
        PyErr_Clear();
        return Tri::Unset;
    }
    return typing::tri_from_bool(out);
}

// Whether a raw container member is wrapped: the field's own answer, else
// the container's default for it. 1, 0 or -1.
int effective_wrap(PyObject* field, const FormalizeContext& ctx) {
    if (!field) return ctx.wrap;
    py::Ref spec = py::get_attr<"value">(field);
    if (!spec) return -1;
    const Tri own = spec_symbolic(spec.get());
    bool fallback = ctx.wrap;
    if (ctx.object_field != Tri::Unset) {
        py::Ref key = py::get_attr<"key">(field);
        if (!key) return -1;
        py::Ref is_const = py::get_attr<"is_const">(key.get());
        if (!is_const) return -1;
        const int truth = PyObject_IsTrue(is_const.get());
        if (truth < 0) return -1;
        if (truth) fallback = ctx.object_field == Tri::True;
    }
    return own == Tri::Unset ? fallback : own == Tri::True;
}

py::Ref call_wrap_value(const ContainerBridge& b, PyObject* value, bool wrap, bool allow_partial,
                        PyObject* path, PyObject* policy) {
    PyObject* kw;
    if (!py::names<"wrap", "allow_partial", "root_path", "assign">(kw)) return {};
    PyObject* args[] = {value, wrap ? Py_True : Py_False, allow_partial ? Py_True : Py_False,
                        path, policy ? policy : Py_None};
    // What the wrap builds is made for the operation formalizing here.
    AdoptionLog::MadeFor made;
    return py::Ref::steal(PyObject_Vectorcall(b.wrap_value.get(), args, 1, kw));
}

}  // namespace

int own_field_applied(const typing::AppliedWrite& named, PyObject* field, PyObject* value,
                      bool allow_partial, typing::Applied& out) {
    using typing::Applied;
    out = Applied::No;
    if (named.through == Applied::No || !field) return 0;
    // Applied under a looser flag than the container's: what it let through
    // (a missing value, an object not fully bound, at any depth) is for the
    // container's field to refuse.
    if (named.allow_partial && !allow_partial && !is_primitive(value)) return 0;
    if (named.through == Applied::ThroughField) {
        if (named.by == field) out = Applied::ThroughField;
        return 0;
    }
    py::Ref spec = typing::field::is_field(field) ? typing::field::field_value_spec(field)
                                                  : py::get_attr<"value">(field);
    if (!spec) return -1;
    if (spec.get() == named.by) out = Applied::ThroughSpec;
    return 0;
}

bool effective_flag_allow_partial(bool own) noexcept {
    return flags::forced(flags::FlagId::AllowPartial).value_or(own);
}

// The `auto_wrap` of a native Dict or List spec, read from its payload: their
// classes are final, so no override can answer otherwise. False when `spec`
// is neither.
bool native_auto_wrap(PyObject* spec, bool& out) noexcept {
    if (!typing::is_spec(spec) || PyType_HasFeature(Py_TYPE(spec), Py_TPFLAGS_BASETYPE))
        return false;
    {
        // A Dict spec's kept facts: no hold of the spec (dict_facts.hpp).
        typing::field::ReadSection reading;
        if (const typing::DictSpecFacts* facts = typing::dict_spec_facts(spec)) {
            out = facts->auto_wrap;
            return true;
        }
    }
    py::Shared<typing::SpecEngine> held(spec);
    if (!held) {
        PyErr_Clear();
        return false;
    }
    if (const auto* d = typing::kind_as<typing::DictKind>(held->kind)) out = d->auto_wrap;
    else if (const auto* l = typing::kind_as<typing::ListKind>(held->kind)) out = l->auto_wrap;
    else return false;
    return true;
}

bool auto_wrap_answer(PyObject* spec) noexcept {
    if (!spec) return true;
    bool native = true;
    if (native_auto_wrap(spec, native)) return native;
    py::Ref answer = py::get_attr<"auto_wrap">(spec);
    bool out = true;
    if (!answer || !py::arg_bool_scalar("auto_wrap", answer.get(), out)) {
        PyErr_Clear();
        return true;
    }
    return out;
}

int field_validates(PyObject* field) {
    py::Ref flag = py::get_attr<"enable_validation">(field);
    bool out = false;
    if (!flag || !py::arg_bool_scalar("enable_validation", flag.get(), out)) return -1;
    return out;
}

py::Ref call_field_apply(PyObject* field, PyObject* value, bool allow_partial, PyObject* transform,
                         PyObject* root_path) {
    PyObject *name, *kw;
    if (!py::intern<"apply">(name) || !py::names<"allow_partial", "transform_fn", "root_path">(kw))
        return {};
    PyObject* args[] = {field, value, allow_partial ? Py_True : Py_False,
                        transform ? transform : Py_None, root_path ? root_path : Py_None};
    return py::Ref::steal(
        PyObject_VectorcallMethod(name, args, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, kw));
}

namespace {

// How the formal value is adopted under `key` with the policy `policy`.
AdoptArgs adopt_args(PyObject* key, PyObject* policy, const FormalizeContext& ctx,
                     ClaimedSet* claimed) {
    AdoptArgs adopt;
    adopt.key = key;
    adopt.adopting = ctx.enable_topo;
    adopt.owner_path = ctx.path.get();
    adopt.container = ctx.container;
    adopt.parent_to_set = ctx.parent_to_set.get();
    adopt.claimed = claimed;
    adopt.policy = policy;
    adopt.clone_if_claimed = ctx.clone_if_claimed;
    adopt.inserting = ctx.inserting;
    return adopt;
}

// Adopts the formal value `formal` under `key` with the policy `policy`.
py::Ref adopt_with_policy(PyObject* key, PyObject* formal, PyObject* policy,
                          const FormalizeContext& ctx, ClaimedSet* claimed, Adoption* keep) {
    const AdoptArgs adopt = adopt_args(key, policy, ctx, claimed);
    if (!keep) return adopt_child(formal, adopt);
    return adopt_child(formal, adopt, *keep) ? keep->value : py::Ref();
}

// The member policy: `field`'s own `assign`, else the context's.
bool member_policy(PyObject* field, const FormalizeContext& ctx, py::Ref& out) {
    out = ctx.assign;
    if (!field) return true;
    py::Ref declared;
    if (!read_field_assign(field, declared)) return false;
    if (declared) out = std::move(declared);
    return true;
}

}  // namespace

py::Ref formalize_member(PyObject* key, PyObject* field, PyObject* value,
                         const FormalizeContext& ctx, ClaimedSet* claimed, Adoption* keep) {
    if (is_primitive(value)) {
        py::Ref formal = formalize_primitive(key, field, value, ctx);
        if (keep) keep->value = formal;
        return formal;
    }
    const int wrap_field = effective_wrap(field, ctx);
    if (wrap_field < 0) return {};
    const bool wrap = wrap_field && ctx.auto_wrap;
    py::Ref path = topology::child_key_path(key, ctx.path.get());
    if (!path) return {};
    py::Ref policy;
    if (!member_policy(field, ctx, policy)) return {};
    const ContainerBridge* b = container_bridge();
    if (!b) return {};

    py::Ref formal;
    int missing = 0;
    if (field && ctx.missing_takes_default) {
        missing = PyObject_RichCompareBool(b->missing_value.get(), value, Py_EQ);
        if (missing < 0) return {};
    }
    if (missing) {
        formal = py::get_attr<"default_value">(field);
    } else {
        formal = call_wrap_value(*b, value, wrap, ctx.effective_allow_partial, path.get(),
                                 policy.get());
    }
    if (!formal) return {};

    if (field && !missing && ctx.applied == typing::Applied::ThroughSpec) {
        if (validate_spec_applied(field, formal.get(), key, ctx) < 0) return {};
    } else if (field && (missing || ctx.applied == typing::Applied::No)) {
        const int validates = field_validates(field);
        if (validates < 0) return {};
        if (validates) {
            py::Ref transform;
            if (wrap) {
                if (!make_child_transform(b->symbolic_transform_fn.get(), ctx.own_allow_partial,
                                          transform))
                    return {};
            }
            formal = call_field_apply(field, formal.get(), ctx.effective_allow_partial,
                                      transform.get(), path.get());
            if (!formal) return {};
        }
    }
    if (!ctx.adopt) return formal;
    return adopt_with_policy(key, formal.get(), policy.get(), ctx, claimed, keep);
}

py::Ref adopt_member(PyObject* key, PyObject* field, PyObject* formal,
                     const FormalizeContext& ctx, ClaimedSet* claimed, Adoption* keep) {
    if (is_primitive(formal)) {
        if (keep) keep->value = py::Ref::borrow(formal);
        return py::Ref::borrow(formal);
    }
    py::Ref policy;
    if (!member_policy(field, ctx, policy)) return {};
    return adopt_with_policy(key, formal, policy.get(), ctx, claimed, keep);
}

int refuse_member_cycle(PyObject* key, PyObject* field, PyObject* formal,
                        const FormalizeContext& ctx, ClaimedSet* claimed) {
    if (is_primitive(formal) || !ctx.enable_topo) return 0;
    py::Ref policy;
    if (!member_policy(field, ctx, policy)) return -1;
    return refuse_cycle(formal, adopt_args(key, policy.get(), ctx, claimed));
}

}  // namespace vesk::symbolic
