// SymDict value-spec binding and the entry points onto member formalization
// and adoption: the bound schema, the location of messages, the formalize
// context, `use_value_spec`, `custom_apply`, `_formalized_value(_with_assign)`
// and `_assign_child`.
#include "symbolic/dict/dict_ops.hpp"

#include "py/args.hpp"
#include "py/hold.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/calls.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/container/properties.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/policy.hpp"
#include "symbolic/refusal.hpp"
#include "symbolic/shortcuts.hpp"
#include "typing/value_spec/kinds.hpp"

#include <optional>

namespace vesk::symbolic::dict {

py::Params<4> kFormalizedParams{
    "_formalized_value", {"name", "field", "value", "seen=None"}, 4, 3};
py::Params<5> kFormalizedAssignParams{
    "_formalized_value_with_assign", {"name", "field", "value", "seen", "assign_override"}, 5, 5};
py::Params<3> kAssignChildParams{"_assign_child", {"key", "value", "seen=None"}, 3, 2};

namespace {

// An optional str argument (None for none).
bool arg_opt_str(const char* name, PyObject* value, PyObject*& out) {
    out = value == Py_None ? nullptr : value;
    return !out || py::arg_str(name, out);
}

ClaimedSet* claimed_of(std::optional<ClaimedSet>& seen) { return seen ? &*seen : nullptr; }

}  // namespace

bool is_dict_spec(PyObject* spec) noexcept {
    PyTypeObject* type = typing::dict_type();
    if (!type) {
        PyErr_Clear();
        return false;
    }
    return PyObject_TypeCheck(spec, type);
}

py::Ref policy_schema(PyObject* spec) {
    if (!spec) return {};
    py::Ref schema;
    bool ok = true;
    if (native_dict_spec_schema(spec, schema, ok)) {
        if (!ok) PyErr_Clear();
        return schema;
    }
    schema = py::get_attr<"schema">(spec);
    if (!schema) PyErr_Clear();
    if (schema.get() == Py_None) schema.reset();
    return schema;
}

int bound_schema(PyObject* self, py::Ref& out) {
    py::Ref spec;
    {
        py::Shared<DictState> held(self);
        if (!held) return -1;
        spec = held->value_spec;
    }
    out.reset();
    if (!spec) return 0;
    bool ok = true;
    if (native_dict_spec_schema(spec.get(), out, ok)) return ok ? 0 : -1;
    out = py::get_attr<"schema">(spec.get());
    if (!out) return -1;
    if (out.get() == Py_None) out.reset();
    return 0;
}

bool node_path(PyObject* self, py::Ref& out) {
    // A write reads the path again after its store, to name it: another
    // thread's momentary hold of the state (a flag set) is waited out.
    return properties::read_ref_past_holds<DictState, properties::RefField::Path>(self, out) == 0;
}

bool make_context(PyObject* self, PyObject* assign_override, FormalizeContext& ctx) {
    py::Ref spec;
    {
        py::Shared<DictState> held(self);
        if (!held) return false;
        const DictState& s = *held;
        ctx.assign = assign_override ? py::Ref::borrow(assign_override) : s.assign;
        ctx.parent_to_set = s.as_object_attributes_container
                                ? py::Ref::borrow(or_none(s.node.parent))
                                : py::Ref::borrow(self);
        ctx.path = s.node.path;
        ctx.enable_topo = s.enable_topo;
        ctx.own_allow_partial = s.node.allow_partial;
        ctx.wrap = s.wrap;
        ctx.object_field = s.as_object_attributes_container ? typing::tri_from_bool(s.enable_topo)
                                                             : typing::Tri::Unset;
        spec = s.value_spec;
    }
    ctx.container = self;
    ctx.effective_allow_partial = effective_flag_allow_partial(ctx.own_allow_partial);
    ctx.auto_wrap = auto_wrap_answer(spec.get());
    ctx.missing_takes_default = true;
    return true;
}

py::Ref formalized_value(PyObject* self, PyObject* key, PyObject* field, PyObject* value,
                         ClaimedSet* claimed, PyObject* assign_override, Adoption* keep,
                         typing::Applied applied) {
    // A primitive that its field keeps as it is, or that passed it already,
    // needs no context.
    if (is_primitive(value)) {
        const int kept = field && applied != typing::Applied::ThroughField
                             ? native_field_keeps(field, value)
                             : 1;
        if (kept != 0) {
            if (kept < 0) return {};
            if (keep) keep->value = py::Ref::borrow(value);
            return py::Ref::borrow(value);
        }
    }
    FormalizeContext ctx;
    if (!make_context(self, assign_override, ctx)) return {};
    ctx.applied = applied;
    return formalize_member(key, field, value, ctx, claimed, keep);
}

py::Ref assign_child(PyObject* self, PyObject* key, PyObject* value, ClaimedSet* claimed) {
    AdoptArgs adopt;
    py::Ref path, parent, fallback, spec;
    {
        py::Shared<DictState> held(self);
        if (!held) return {};
        adopt.adopting = held->enable_topo;
        path = held->node.path;
        parent = held->as_object_attributes_container ? py::Ref::borrow(or_none(held->node.parent))
                                                      : py::Ref::borrow(self);
        fallback = held->assign;
        spec = held->value_spec;
    }
    py::Ref schema = policy_schema(spec.get());
    py::Ref policy;
    if (!field_policy(schema.get(), key, fallback.get(), policy)) return {};
    adopt.key = key;
    adopt.owner_path = path.get();
    adopt.container = self;
    adopt.parent_to_set = parent.get();
    adopt.claimed = claimed;
    adopt.policy = policy.get();
    return adopt_child(value, adopt);
}

int use_value_spec(PyObject* self, PyObject* spec, bool allow_partial) {
    if (spec == Py_None) return unbind_spec<DictState>(self);
    // Claimed to the end of the apply that binds and checks the members:
    // one operation on the container, given back whole should it fail
    // (container/pass_log.hpp).
    PassLog pass;
    if (pass.begin(self, false) < 0) return -1;
    py::Ref path;
    if (!is_dict_spec(spec))
        return node_path(self, path)
                   ? raise_located_format(
                         path.get(), PyExc_ValueError,
                         "Value spec for dict must be a `vk.typing.Dict` object. Encountered: %R",
                         spec)
                   : -1;
    py::Ref bound;
    if (!read_bound_spec<DictState>(self, bound)) return -1;
    if (bound) {
        const int differs = PyObject_RichCompareBool(bound.get(), spec, Py_NE);
        if (differs < 0) return -1;
        if (differs)
            return node_path(self, path)
                       ? raise_located_format(path.get(), PyExc_RuntimeError,
                                              "Dict is already bound with a different value "
                                              "spec: %S. New value spec: %S.",
                                              bound.get(), spec)
                       : -1;
    }
    return apply_spec<DictState>(self, spec, allow_partial, pass);
}

PyObject* py_use_value_spec(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
    return use_value_spec_entry(self, args, nargs, kwnames, &use_value_spec);
}

// (name, field, value, seen[, assign_override]) of the two formalize entries.
template <std::size_t N>
PyObject* formalized_entry(PyObject* self, py::Params<N>& params, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<N> a;
    std::optional<ClaimedSet> seen;
    PyObject* policy = nullptr;
    if (!py::parse(params, args, nargs, kwnames, a) || !arg_claimed_set(a[3], seen)) return nullptr;
    if constexpr (N == 5) {
        if (!arg_opt_str("assign_override", a[4], policy)) return nullptr;
    }
    PyObject* field = a[1] == Py_None ? nullptr : a[1];
    return formalized_value(self, a[0], field, a[2], claimed_of(seen), policy).release();
}

PyObject* py_formalized_value(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
    return formalized_entry(self, kFormalizedParams, args, nargs, kwnames);
}

PyObject* py_formalized_value_with_assign(PyObject* self, PyObject* const* args,
                                          Py_ssize_t nargs, PyObject* kwnames) {
    return formalized_entry(self, kFormalizedAssignParams, args, nargs, kwnames);
}

PyObject* py_assign_child(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<3> a;
    std::optional<ClaimedSet> seen;
    if (!py::parse(kAssignChildParams, args, nargs, kwnames, a) || !arg_claimed_set(a[2], seen))
        return nullptr;
    return assign_child(self, a[0], a[1], claimed_of(seen)).release();
}

namespace {

// The refusal of an incompatible spec: the located message, raised as it is.
int refuse_incompatible(PyObject* path, PyObject* bound, PyObject* spec) {
    const ContainerBridge* b = container_bridge();
    if (!b) return -1;
    py::Ref text = py::Ref::steal(PyUnicode_FromFormat(
        "Dict (spec=%R) cannot be assigned to an incompatible field (spec=%R).", bound, spec));
    if (!text) return -1;
    PyObject* call[] = {text.get(), path};
    py::Ref message =
        py::Ref::steal(PyObject_Vectorcall(b->message_on_path.get(), call, 2, nullptr));
    if (message) raise_with_arg(PyExc_ValueError, message.get());
    return -1;
}

constexpr CustomApplyRules kCustomApply{&is_dict_spec, false, &refuse_incompatible};

}  // namespace

PyObject* py_custom_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return custom_apply<DictState>(self, args, nargs, kwnames, kCustomApply);
}

}  // namespace vesk::symbolic::dict
