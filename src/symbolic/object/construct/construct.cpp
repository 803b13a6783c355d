// The construction core and the native initialiser.
#include "symbolic/object/construct/construct.hpp"

#include "flags.hpp"
#include "kernel/slot_failure.hpp"
#include "py/args.hpp"
#include "py/hold.hpp"
#include "py/named.hpp"
#include "py/write_span.hpp"
#include "symbolic/adoption.hpp"
#include "symbolic/bridge.hpp"
#include "symbolic/container/pass_log.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/markers.hpp"
#include "symbolic/momentary.hpp"
#include "symbolic/node.hpp"
#include "symbolic/object/construct/construct_steps.hpp"
#include "symbolic/object/construct/live_rebuild.hpp"
#include "symbolic/object/construct/fill.hpp"
#include "symbolic/object/object_state.hpp"
#include "typing/schema/drivers.hpp"

#include <optional>
#include <utility>

namespace vesk::symbolic::object {

namespace {

// Resets the node of a new object for its construction and clears the field
// dictionary and the origin. The dropped references are released after the
// hold. 1, or 0 with nothing changed when the object is live after all
// (held by another thread, or constructed before: live_rebuild.hpp).
int reset_node(PyObject* self, const ConstructRequest& rq, const CtorMeta& meta,
               const ObjectBridge& b) {
    Released released;
    py::Ref old_fields, old_origin;
    {
        py::Exclusive<ObjectState> held(self);
        if (!held) {
            PyErr_Clear();
            return 0;
        }
        if (!is_blank(*held)) return 0;
        held->node.reset_for_construction(
            rq.root_path ? py::Ref::borrow(rq.root_path) : b.empty_key_path, rq.allow_partial,
            meta.attr_write, false, released);
        old_fields = std::move(held->fields);
        old_origin = std::move(held->node.origin);
        // From here on the object is live (`is_live`). It has no field
        // dictionary yet, so no plain store to order the count against.
        held->spec_replaced();
    }
    return 1;
}

// Whether the object was constructed (or had its flags changed) before: its
// count of changes has moved on. Read without a hold, which would refuse
// another thread's read of a live object.
bool is_live(PyObject* self) noexcept { return py::state<ObjectState>(self).binding() != 0; }

// The default origin, when the thread tracks origins.
int track_origin(PyObject* self, const ObjectBridge& b) {
    if (!flags::origin_tracking_on()) return 0;
    py::Ref tag = py::Ref::steal(PyUnicode_FromString("__init__"));
    py::Ref origin = tag ? py::Ref::steal(PyObject_CallFunctionObjArgs(
                               b.origin_cls.get(), Py_None, tag.get(), nullptr))
                         : py::Ref();
    if (!origin) return -1;
    py::Ref dropped;
    return past_momentary_holds([&] {
        py::Exclusive<ObjectState> held(self);
        if (!held) return -1;
        dropped = std::exchange(held->node.origin, std::move(origin));
        return 0;
    });
}

// The keyword dict, through an overridden `on_sym_preinit`.
py::Ref keyword_dict(PyObject* cls, const ConstructRequest& rq, const CtorMeta& meta) {
    py::Ref kwargs = rq.kwargs ? py::Ref::borrow(rq.kwargs) : py::Ref::steal(PyDict_New());
    if (!kwargs || rq.clone || !meta.preinit_overridden) return kwargs;
    py::Ref result = py::call_method<"on_sym_preinit">(cls, kwargs.get());
    if (!result) return {};
    if (!PyDict_Check(result.get())) {
        py::Ref repr = py::Ref::steal(PyObject_Repr(result.get()));
        if (repr)
            PyErr_Format(PyExc_TypeError,
                         "`on_sym_preinit` must return a dict of init kwargs. Encountered: %U.",
                         repr.get());
        return {};
    }
    return result;
}

// What the fill leaves for the rest of construction.
struct Filled {
    py::Ref fields;
    bool skip_adoption = false;
    bool all_plain = false;
};

// The missing-required check of the schema road: `schema` must be a native
// Schema.
int check_missing(PyObject* cls, PyObject* schema, PyObject* values, bool topo) {
    PyTypeObject* type = typing::schema::schema_type();
    if (!type || !py::expect_instance(schema, type)) return -1;
    py::Ref missing = typing::schema::missing_required_keys(schema, values, topo);
    if (!missing) return -1;
    if (PyList_GET_SIZE(missing.get()) == 0) return 0;
    raise_missing_arguments(cls, missing.get());
    return -1;
}

// Whether no value of `fields` is topology-aware: 1, 0 or -1.
int none_topology_aware(PyObject* fields) {
    py::Ref values = py::Ref::steal(PyDict_Values(fields));
    if (!values) return -1;
    for (Py_ssize_t i = 0, n = PyList_GET_SIZE(values.get()); i < n; ++i) {
        const int aware = is_topology_aware(PyList_GET_ITEM(values.get(), i));
        if (aware) return aware < 0 ? -1 : 0;
    }
    return 1;
}

// The keyword dicts of construction: as given (after `on_sym_preinit`), and
// as validation sees it, without the keywords the class ignores.
struct Keywords {
    py::Ref given;
    py::Ref to_validate;
};

int schema_road(PyObject* cls, const ConstructRequest& rq, const CtorMeta& meta,
                const ObjectBridge& b, const Keywords& kw, bool allow_partial, Filled& out) {
    PyTypeObject* schema_type = typing::schema::schema_type();
    if (!schema_type || !py::expect_instance(meta.init_schema.get(), schema_type)) return -1;
    if (!meta.init_field_names && !allow_partial &&
        check_missing(cls, meta.schema.get(), kw.given.get(), meta.topo) < 0)
        return -1;
    py::Ref transform;
    if (!make_child_transform(b.symbolic_transform_fn.get(), rq.allow_partial, transform))
        return -1;
    typing::schema::ConstructArgs args;
    args.allow_partial = allow_partial;
    args.transform = transform.get();
    args.root_path = rq.root_path;
    args.symbolic_default = meta.topo;
    args.skip_validation = rq.clone != nullptr;
    args.no_child_paths = meta.has_attrs_builder;
    typing::schema::Validated validated;
    if (!typing::schema::validate_fields_native(meta.init_schema.get(), kw.to_validate.get(), args,
                                                validated))
        return -1;
    if (!allow_partial && meta.init_field_names &&
        check_missing(cls, meta.init_schema.get(), validated.fields.get(), meta.topo) < 0)
        return -1;
    if (!PyDict_Check(validated.fields.get())) {
        py::raise_not_instance(validated.fields.get(), "dict");
        return -1;
    }
    out.fields = std::move(validated.fields);
    out.all_plain = !allow_partial && validated.all_scalar;
    if (!meta.topo && validated.all_scalar) {
        out.skip_adoption = true;
    } else {
        const int none = none_topology_aware(out.fields.get());
        if (none < 0) return -1;
        out.skip_adoption = none != 0;
    }
    return 0;
}

// The field dictionary: from the compiled fill, or from the schema road
// when the fill declines or cannot run.
int fill(PyObject* cls, const ConstructRequest& rq, const CtorMeta& meta, const ObjectBridge& b,
         const Keywords& kw, Filled& out) {
    const std::optional<bool> forced = flags::forced(flags::FlagId::AllowPartial);
    const bool allow_partial = forced ? *forced : rq.allow_partial;
    if (meta.has_compiled_fields && !allow_partial) {
        FillArgs args;
        args.cls = cls;
        args.kwargs = kw.to_validate.get();
        args.owner = rq.self;
        args.root_path = rq.root_path;
        args.allow_partial = rq.allow_partial;
        // What the fill wraps is the construction's, unless the fill
        // declines: the schema road then wraps the same values again, so
        // the members the fill placed get their places back first.
        AdoptionLog::MadeFor for_construction;
        AdoptionLog attempt(rq.self);
        FillResult result;
        switch (compiled_fill(meta, args, result)) {
            case FillOutcome::Error: return -1;
            case FillOutcome::Filled:
                attempt.keep();
                out.fields = std::move(result.fields);
                out.skip_adoption = result.all_primitive;
                out.all_plain = result.all_scalar;
                return 0;
            case FillOutcome::Declined: break;
        }
    }
    return schema_road(cls, rq, meta, b, kw, allow_partial, out);
}

// A live object's construction holds it whole (live_rebuild.hpp): another
// thread's hold of its state meanwhile is a momentary read, waited out.
int store_fields(PyObject* self, py::Ref fields) {
    py::Ref dropped;
    return past_momentary_holds([&] {
        py::Exclusive<ObjectState> held(self);
        if (!held) return -1;
        dropped = std::exchange(held->fields, std::move(fields));
        return 0;
    });
}

// The rest of construction, over an object whose field dictionary is
// stored: adoption of the children, the non-symbolic fields, the hooks and
// sealing.
int finish(PyObject* self, const ConstructRequest& rq, const CtorMeta& meta,
           const ObjectBridge& b, const Filled& filled, bool sealed) {
    if (!filled.skip_adoption) {
        // The children's hooks meet the object closed to their writes: the
        // passes read its fields and store back what they adopt
        // (py/write_span.hpp).
        const py::WriteSpan closed(self, py::WriteSpan::Mode::Closed);
        const int r = meta.topo ? adopt_children(self, filled.fields.get(), b)
                                : unstamp_children(self, filled.fields.get(), b);
        if (r < 0) return -1;
    }
    if (meta.has_non_symbolic_fields) {
        py::Ref r;
        if (rq.clone) {
            PyObject* memo = rq.clone->memo ? rq.clone->memo : Py_None;
            r = py::Ref::steal(PyObject_CallFunctionObjArgs(
                b.clone_non_symbolic_fields.get(), self, rq.clone->source,
                rq.clone->deep ? Py_True : Py_False, memo, nullptr));
        } else {
            r = py::Ref::steal(PyObject_CallFunctionObjArgs(b.seed_non_symbolic_fields.get(), self,
                                                            meta.non_symbolic_fields.get(),
                                                            nullptr));
        }
        if (!r) return -1;
    }
    HookInputs hooks;
    hooks.validate_wanted = meta.validate_overridden && !rq.clone;
    hooks.all_plain = filled.all_plain;
    if (run_hooks(self, meta, hooks) < 0) return -1;
    if (sealed && !py::call_method<"sym_seal">(self, Py_True)) return -1;
    return 0;
}

// A construction that fails once the field dictionary is stored leaves the
// object blank again, as one that fails before does.
void make_blank(PyObject* self) {
    PyObject* exc = PyErr_GetRaisedException();
    {
        py::Ref dropped;
        py::Exclusive<ObjectState> held(self);
        if (held) dropped = std::move(held->fields);
        held.release();
    }
    // A refused hold (or a finaliser of the dropped fields) must not mask
    // the failure of the construction.
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

}  // namespace

int construct(const ConstructRequest& rq) {
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    PyObject* self = rq.self;
    PyObject* cls = py::class_of(self);
    CtorMetaRef meta = ctor_meta(cls);
    if (!meta) return -1;
    const bool sealed =
        rq.sealed == SealedArg::Unspecified ? meta->frozen : rq.sealed == SealedArg::Yes;
    // A live object is held whole for the construction (live_rebuild.hpp).
    std::optional<LiveRebuild> live;
    if ((is_live(self) || !reset_node(self, rq, *meta, *b)) &&
        live.emplace().begin(self, rq, *meta, *b) < 0)
        return -1;
    if (track_origin(self, *b) < 0) return -1;
    if (!rq.explicit_init && meta->cooperative_init_needed) {
        py::Ref r = py::Ref::steal(PyObject_CallFunctionObjArgs(b->cooperative_init.get(), self,
                                                                Py_True, nullptr));
        if (!r) return -1;
    }
    Keywords kw;
    kw.given = keyword_dict(cls, rq, *meta);
    if (!kw.given || screen_keywords(cls, *meta, kw.given.get(), kw.to_validate) < 0) return -1;
    // A construction that fails leaves the object blank, and gives each
    // child it placed back the place it had (a member of a raw container it
    // wrapped included).
    const ConstructionClaims claims;
    AdoptionLog log(self);
    // The specs of its fields change the containers it is given before it
    // holds them (a binding, defaults, transformed members): a construction
    // that fails gives those back too, as a failed apply does.
    ConstructionLog applied(self, kw.to_validate.get(), log);
    Filled filled;
    if (fill(cls, rq, *meta, *b, kw, filled) < 0) return -1;
    if (store_fields(self, filled.fields) < 0) return -1;
    if (finish(self, rq, *meta, *b, filled, sealed) < 0) {
        make_blank(self);
        return -1;
    }
    // Once it stands, a notification that fails leaves it standing.
    const int told = applied.commit();
    log.keep();
    if (live) live->keep();
    return told;
}

int construct_with_keywords(ConstructRequest request) {
    if (request.kwargs) {
        py::Ref allow_partial;
        PyObject* key;
        if (!py::intern<"allow_partial">(key) || pop_kw(request.kwargs, key, allow_partial) < 0)
            return -1;
        if (allow_partial) {
            if (!PyBool_Check(allow_partial.get())) {
                PyErr_Format(PyExc_TypeError,
                             "Expect bool type for argument 'allow_partial' in "
                             "symbolic.Object.__init__ but encountered %S.",
                             allow_partial.get());
                return -1;
            }
            request.allow_partial = allow_partial.get() == Py_True;
        }
    }
    return construct(request);
}

namespace {

// Every failure of the core reached from the native initialiser is handed
// to the bridge's `prepare_construct_error`, and what it returns is raised.
int wrap_construct_error() {
    // An internal failure is not the user's construction error: the slot
    // reports it as a panic, so it must reach it unwrapped. Nor is a
    // construction refused for meeting another thread's hold or write on
    // the object or a child (claim.hpp): that refusal is raised as it is.
    if (kernel::internal_failure_pending() || kernel::borrow_refusal_pending()) return -1;
    py::Ref exc = py::Ref::steal(PyErr_GetRaisedException());
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    py::Ref made = py::Ref::steal(PyObject_CallOneArg(b->prepare_construct_error.get(), exc.get()));
    if (made) raise_made(made.get());
    return -1;
}

// Removes `Name` from the dict `kwargs`: the value, or null (none given,
// or None) with `failed` clear; null with `failed` set on error.
template <py::Literal Name>
py::Ref pop_option(PyObject* kwargs, bool& failed) {
    PyObject* key;
    py::Ref value;
    failed = !py::intern<Name>(key) || pop_kw(kwargs, key, value) < 0;
    if (failed || !value || value.get() == Py_None) return {};
    return value;
}

}  // namespace

int native_init(PyObject* self, PyObject* args, PyObject* kwds) {
    PyTypeObject* type = sym_object_type();
    if (!type || !py::expect_instance(self, type)) return -1;
    if (args && PyTuple_Check(args) && PyTuple_GET_SIZE(args) > 0)
        return defer_positional_to_python_init(self, args, kwds, "native tp_init") < 0 ? -1 : 0;
    ConstructRequest rq;
    rq.self = self;
    if (!kwds) return construct(rq) < 0 ? wrap_construct_error() : 0;
    if (!PyDict_Check(kwds)) {
        py::raise_not_instance(kwds, "dict");
        return -1;
    }
    bool failed = false;
    py::Ref sealed = pop_option<"sealed">(kwds, failed);
    if (failed) return -1;
    if (sealed) {
        bool b = false;
        if (!py::arg_bool_scalar("sealed", sealed.get(), b)) return -1;
        rq.sealed = b ? SealedArg::Yes : SealedArg::No;
    }
    py::Ref root_path = pop_option<"root_path">(kwds, failed);
    if (failed) return -1;
    rq.root_path = root_path.get();
    py::Ref explicit_init = pop_option<"explicit_init">(kwds, failed);
    if (failed ||
        (explicit_init && !py::arg_bool_scalar("explicit_init", explicit_init.get(),
                                               rq.explicit_init)))
        return -1;
    rq.kwargs = kwds;
    return construct_with_keywords(rq) < 0 ? wrap_construct_error() : 0;
}

}  // namespace vesk::symbolic::object
