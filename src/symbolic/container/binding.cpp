#include "symbolic/container/binding.hpp"

#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/claim.hpp"
#include "symbolic/container/state.hpp"
#include "symbolic/container/topology.hpp"
#include "symbolic/formalize.hpp"
#include "symbolic/method_params.hpp"

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

int claim_for_rebind(ClaimScope& claims, PyObject* self) { return claims.exclusive(self); }

template <class S>
int apply_spec(PyObject* self, PyObject* spec, bool allow_partial) {
    bool wrap = true;
    py::Ref path;
    {
        py::Exclusive<S> held(self);
        if (!held) return -1;
        held->node.allow_partial = allow_partial;
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
    return py::call_method_kw<"apply", "allow_partial", "child_transform", "root_path">(call)
               ? 0
               : -1;
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
    py::Ref bound;
    if (!read_bound_spec<S>(self, bound)) return nullptr;
    if (!bound) {
        if (rules.is_own_spec(spec)) {
            // A live container bound: claimed as a rebind is.
            ClaimScope claims;
            if (claim_for_rebind(claims, self) < 0 || bind_spec<S>(self, spec) < 0) return nullptr;
        }
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
    {
        py::Exclusive<S> held(self);
        if (!held) return nullptr;
        if (held->node.allow_partial == allow_partial && !unapplied) {
            held.release();
            return custom_apply_answer(self, false);
        }
        held->node.allow_partial = allow_partial;
    }
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
    template int apply_spec<S>(PyObject*, PyObject*, bool);                         \
    template PyObject* custom_apply<S>(PyObject*, PyObject* const*, Py_ssize_t, PyObject*, \
                                       const CustomApplyRules&);                             \
    template int store_parent<S>(PyObject*, PyObject*);                             \
    template int store_default_origin<S>(PyObject*);                                \
    template int finish_construction<S>(PyObject*, PyObject*, bool, bool);

VESK_CONTAINER_BINDING(DictState)
VESK_CONTAINER_BINDING(ListState)

#undef VESK_CONTAINER_BINDING

}  // namespace vesk::symbolic
