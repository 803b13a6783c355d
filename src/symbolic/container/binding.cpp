#include "symbolic/container/binding.hpp"

#include "py/args.hpp"
#include "py/critical_section.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/container/topology.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/method_params.hpp"

#include <optional>
#include <type_traits>
#include <utility>

namespace vesk::symbolic {

template <class S>
bool read_bound_spec(PyObject* self, py::Ref& out) {
    py::Shared<S> held(self);
    if (!held) return false;
    out = held->value_spec;
    return true;
}

template <class S>
int bind_spec(PyObject* self, PyObject* spec) {
    py::Ref dropped;
    py::Exclusive<S> held(self);
    if (!held) return -1;
    dropped = std::exchange(held->value_spec, py::Ref::borrow(spec));
    held->spec_replaced();
    held.release();
    return 0;
}

template <class S>
int unbind_spec(PyObject* self) {
    ClaimScope claims;
    if (claims.exclusive(self) < 0) return -1;
    py::Ref dropped;
    py::Exclusive<S> held(self);
    if (!held) return -1;
    dropped = std::move(held->value_spec);
    held->spec_replaced();
    held->node.accessor_writable = true;
    held.release();
    return 0;
}

template <class S>
void note_looser_members(PyObject* self, bool own_allow_partial) noexcept {
    if (own_allow_partial || !flags::forced(flags::FlagId::AllowPartial).value_or(false)) return;
    bool any = false;
    {
        py::CriticalSection section(self);
        if constexpr (std::is_same_v<S, DictState>) {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (!any && PyDict_Next(self, &pos, &k, &v)) any = !is_primitive(v);
        } else {
            for (Py_ssize_t i = 0; !any && i < PyList_GET_SIZE(self); ++i)
                any = !is_primitive(PyList_GET_ITEM(self, i));
        }
    }
    if (any) py::state<S>(self).loosened.store(true, std::memory_order_relaxed);
}

template <class S>
int apply_spec(PyObject* self, PyObject* spec, bool allow_partial, PassLog& pass) {
    bool wrap = true;
    py::Ref path;
    {
        py::Exclusive<S> held(self);
        if (!held) return -1;
        // `custom_apply` compares the flag the container had before this
        // call with the one asked for: a tightened flag is checked.
        pass.set_prior_allow_partial(held->node.allow_partial);
        if (held->node.allow_partial != allow_partial) {
            held->node.allow_partial = allow_partial;
            held->spec_replaced();
        }
        wrap = held->wrap;
        path = held->node.path;
    }
    py::Ref transform;
    if (wrap) {
        const ContainerBridge* b = container_bridge();
        if (!b) return -1;
        if (!make_child_transform(b->symbolic_transform_fn.get(), allow_partial, transform))
            return -1;
    }
    const bool effective = effective_flag_allow_partial(allow_partial);
    PyObject* call[] = {spec, self, effective ? Py_True : Py_False, or_none(transform),
                        or_none(path)};
    if (!py::call_method_kw<"apply", "allow_partial", "child_transform", "root_path">(call))
        return -1;
    return pass.commit();
}

PyObject* use_value_spec_entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames, int (*use)(PyObject*, PyObject*, bool)) {
    py::Args<2> a;
    bool allow_partial = false;
    if (!py::parse(kUseValueSpecParams, args, nargs, kwnames, a)) return nullptr;
    if (a.given(1) && !py::arg_bool_scalar("allow_partial", a[1], allow_partial)) return nullptr;
    if (use(self, a[0], allow_partial) < 0) return nullptr;
    return py::new_ref(self);
}

namespace {

PyObject* custom_apply_answer(PyObject* self, bool proceed) {
    return Py_BuildValue("(OO)", proceed ? Py_True : Py_False, self);
}

// The container an UnappliedMembersScope names on this thread, or null.
[[gnu::tls_model("initial-exec")]] thread_local PyObject* t_unapplied = nullptr;

bool take_unapplied(PyObject* self) noexcept {
    if (!t_unapplied || t_unapplied != self) return false;
    t_unapplied = nullptr;
    return true;
}

}  // namespace

UnappliedMembersScope::UnappliedMembersScope(PyObject* container) noexcept
    : saved_(t_unapplied) {
    t_unapplied = container;
}

UnappliedMembersScope::~UnappliedMembersScope() { t_unapplied = saved_; }

template <class S>
PyObject* custom_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames, const CustomApplyRules& rules) {
    py::Args<4> a;
    bool allow_partial = false;
    if (!py::parse(kCustomApplyParams, args, nargs, kwnames, a) ||
        !py::arg_bool_scalar("allow_partial", a[2], allow_partial))
        return nullptr;
    PyObject* path = a[0];
    PyObject* spec = a[1];
    // Claimed for its whole work (claim.hpp): the binding and the flag it
    // sets are what a write of another thread checks its value against. A
    // write in flight on the container (or below it) refuses it at once;
    // one that read them before and stores after finds them changed. The
    // apply that calls it holds that claim already (its log).
    PassLog* pass = PassLog::of(self);
    std::optional<ClaimScope> claims;
    if (!pass && claims.emplace().exclusive(self) < 0) return nullptr;
    py::Ref bound;
    if (!read_bound_spec<S>(self, bound)) return nullptr;
    // The apply that called goes on to check the members under the flag it
    // was given; its log clears what that check settles.
    if (!bound) {
        if (rules.is_own_spec(spec) && bind_spec<S>(self, spec) < 0) return nullptr;
        if (pass) pass->checking(allow_partial);
        return custom_apply_answer(self, true);
    }
    const bool asked = spec != Py_None && !(rules.bound_spec_is_compatible && spec == bound.get());
    if (asked) {
        py::Ref compatible = py::call_method<"is_compatible">(spec, bound.get());
        bool ok = false;
        if (!compatible || !py::arg_bool_scalar("is_compatible", compatible.get(), ok))
            return nullptr;
        if (!ok) {
            rules.refuse_incompatible(path, bound.get(), spec);
            return nullptr;
        }
    }
    const bool unapplied = take_unapplied(self);
    // The flag as it was before the `use_value_spec` running now set it.
    const std::optional<bool> prior = PassLog::prior_allow_partial(self);
    {
        py::Exclusive<S> held(self);
        if (!held) return nullptr;
        // Taken as applied only where a completed check stands for the
        // flag asked: the same flag, and no member stored since under a
        // looser scope than a strict flag allows.
        const bool same_flag = prior.value_or(held->node.allow_partial) == allow_partial;
        const bool known =
            allow_partial || !held->loosened.load(std::memory_order_relaxed);
        if (same_flag && known && !unapplied) {
            held.release();
            return custom_apply_answer(self, false);
        }
        if (held->node.allow_partial != allow_partial) {
            held->node.allow_partial = allow_partial;
            held->spec_replaced();
        }
    }
    if (pass) pass->checking(allow_partial);
    return custom_apply_answer(self, true);
}

py::Ref new_container(PyObject* cls, PyTypeObject* type) {
    if (!type) return {};
    py::Ref made = py::call_method<"__new__">(cls, cls);
    if (made && !py::expect_instance(made.get(), type)) return {};
    return made;
}

template <class S>
int store_parent(PyObject* self, PyObject* parent) {
    py::Ref dropped;
    py::Exclusive<S> held(self);
    if (!held) return -1;
    SymNode::store(held->node.parent, parent, dropped);
    held.release();
    return 0;
}

template <class S>
int store_default_origin(PyObject* self) {
    bool ok = true;
    py::Ref origin = default_origin(ok);
    if (!ok) return -1;
    if (!origin) return 0;
    py::Ref dropped;
    py::Exclusive<S> held(self);
    if (!held) return -1;
    dropped = std::exchange(held->node.origin, std::move(origin));
    held.release();
    return 0;
}

template <class S>
int finish_construction(PyObject* self, PyObject* onchange_callback, bool accessor_writable,
                        bool sealed) {
    {
        py::Ref dropped;
        py::Exclusive<S> held(self);
        if (!held) return -1;
        dropped = std::exchange(held->onchange_callback, py::Ref::borrow(onchange_callback));
        if (!accessor_writable) held->node.accessor_writable = false;
        held.release();
    }
    return sealed ? seal_container<S>(self, true) : 0;
}

#define VESK_CONTAINER_BINDING(S)                                                   \
    template bool read_bound_spec<S>(PyObject*, py::Ref&);                          \
    template int bind_spec<S>(PyObject*, PyObject*);                                \
    template int unbind_spec<S>(PyObject*);                                         \
    template void note_looser_members<S>(PyObject*, bool) noexcept;                 \
    template int apply_spec<S>(PyObject*, PyObject*, bool, PassLog&);               \
    template PyObject* custom_apply<S>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*, \
                                       const CustomApplyRules&);                             \
    template int store_parent<S>(PyObject*, PyObject*);                             \
    template int store_default_origin<S>(PyObject*);                                \
    template int finish_construction<S>(PyObject*, PyObject*, bool, bool);

VESK_CONTAINER_BINDING(DictState)
VESK_CONTAINER_BINDING(ListState)

#undef VESK_CONTAINER_BINDING

}  // namespace vesk::symbolic
