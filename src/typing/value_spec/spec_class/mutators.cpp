// The mutators of SpecBase. Each takes the spec's exclusive hold, refused at
// once with the mutation-guard RuntimeError while anyone holds it; what it
// replaces is released after the hold (`Detached`). `set_default` and
// `freeze` run Python code on the new value under a shared hold first, then
// store under the exclusive one, and compute again when the version shows
// another store came in between. Their stores are whole values, so a thread
// lost at a fork while holding one leaves no half-changed spec behind.
#include "typing/value_spec/spec_class/mutators.hpp"

#include "py/args.hpp"
#include "typing/bridge.hpp"
#include "typing/value_spec/engine/format.hpp"
#include "typing/value_spec/spec_class/surface.hpp"

namespace vesk::typing {

namespace {

// How often a computed default meets a store that came in meanwhile before
// the mutator gives up: rounds only repeat while other threads write.
constexpr int kStoreRounds = 8;

[[nodiscard]] PyObject* null_to_none(PyObject* obj) { return obj == Py_None ? nullptr : obj; }

// Chooses and resolves what `freeze` stores (shared hold of `engine`): a
// new value in `out`, or none when the stored default stays.
bool choose_frozen(const SpecEngine& engine, PyObject* self, PyObject* permanent,
                   bool apply_first, ResolvedDefault& out) {
    py::Ref chosen;
    if (permanent) {
        const int missing = is_missing(permanent);
        if (missing < 0) return false;
        if (!missing) chosen = py::Ref::borrow(permanent);
    }
    if (!chosen && engine.default_factory) {
        chosen = py::Ref::steal(PyObject_CallNoArgs(engine.default_factory.get()));
        if (!chosen) return false;
    }
    if (chosen) {
        out = resolve_default(engine, std::move(chosen), apply_first, nullptr, self);
        return static_cast<bool>(out.value);
    }
    const int missing = is_missing(engine.default_value.get());
    if (missing < 0) return false;
    if (!missing) return true;
    py::Ref text = repr(engine);
    if (text)
        PyErr_Format(PyExc_ValueError, "Cannot freeze %U without a default value.", text.get());
    return false;
}

// Runs `compute(engine) -> bool` under a shared hold and `store(engine) ->
// int` under the exclusive one, again while another store came in between.
template <class Compute, class Store>
PyObject* compute_then_store(SpecScope self, Compute&& compute, Store&& store) {
    for (int round = 0; round < kStoreRounds; ++round) {
        std::uint64_t seen = 0;
        {
            auto r = self.shared();
            if (!r) return r.refusal();
            seen = r->version;
            if (!compute(*r)) return nullptr;
        }
        Detached detached;
        {
            auto w = self.exclusive<py::Refuse::Mutation>();
            if (!w) return w.refusal();
            w.replaces_whole();
            if (w->version != seen) continue;  // computed from a stale state
            if (store(*w, detached) < 0) return nullptr;
        }
        return py::new_ref(self.object());
    }
    py::raise_mutation_refused();
    return nullptr;
}

}  // namespace

int store_unapplied(SpecEngine& engine, PyObject* value, Detached& detached) {
    ResolvedDefault resolved =
        resolve_default(engine, py::Ref::borrow(value), false, nullptr, nullptr);
    if (!resolved.value) return -1;
    store_default(engine, std::move(resolved), detached);
    return 0;
}

py::Params<3> kSetDefaultParams{
    "set_default", {"default", "use_default_apply=True", "root_path=None"}, 3, 1};

PyObject* spec_set_default(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kSetDefaultParams, args, nargs, kwnames, a)) return nullptr;
    bool use_apply;
    if (!py::opt_bool("use_default_apply", a[1], true, use_apply)) return nullptr;
    PyObject* root_path = a[2] ? null_to_none(a[2]) : nullptr;
    ResolvedDefault resolved;
    return compute_then_store(
        self,
        [&](const SpecEngine& engine) {
            resolved = resolve_default(engine, py::Ref::borrow(a[0]), use_apply, root_path,
                                       self.object());
            return static_cast<bool>(resolved.value);
        },
        [&](SpecEngine& engine, Detached& detached) {
            store_default(engine, std::move(resolved), detached);
            return 0;
        });
}

py::Params<2> kFreezeParams{"freeze", {"permanent_value=...", "apply_before_use=True"}, 2, 0};

PyObject* spec_freeze(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kFreezeParams, args, nargs, kwnames, a)) return nullptr;
    bool apply_first;
    if (!py::opt_bool("apply_before_use", a[1], true, apply_first)) return nullptr;
    ResolvedDefault chosen;
    return compute_then_store(
        self,
        [&](const SpecEngine& engine) {
            chosen = ResolvedDefault{};
            return choose_frozen(engine, self.object(), a[0], apply_first, chosen);
        },
        [&](SpecEngine& engine, Detached& detached) {
            if (chosen.value) store_default(engine, std::move(chosen), detached);
            engine.frozen = true;
            return 0;
        });
}

py::Params<1> kSetFactoryParams{"set_default_factory", {"default_factory"}, 1, 1};

PyObject* spec_set_default_factory(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                                   PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kSetFactoryParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* factory = null_to_none(a[0]);
    Detached detached;
    {
        auto w = self.exclusive<py::Refuse::Mutation>();
        if (!w) return w.refusal();
        w.replaces_whole();
        if (factory && !PyCallable_Check(factory)) {
            w.release();  // the message renders the object: Python code
            (void)check_default_factory(factory);
            return nullptr;
        }
        if (store_default_factory(*w, py::Ref::borrow(factory), detached) < 0) return nullptr;
    }
    return py::new_ref(self.object());
}

py::Params<1> kSetTransformParams{"set_transform", {"transform"}, 1, 1};

PyObject* spec_set_transform(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kSetTransformParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* transform = null_to_none(a[0]);
    py::Ref replaced;  // released after the hold
    {
        auto w = self.exclusive<py::Refuse::Mutation>();
        if (!w) return w.refusal();
        w.replaces_whole();
        if (transform && !PyCallable_Check(transform)) {
            w.release();  // the message renders the object: Python code
            PyErr_Format(PyExc_TypeError,
                         "`transform` must be a single-arg callable. Encountered: %R.", transform);
            return nullptr;
        }
        replaced = std::exchange(w->transform, py::Ref::borrow(transform));
    }
    return py::new_ref(self.object());
}

py::Params<1> kSetStrictParams{"set_strict", {"strict"}, 1, 1};

PyObject* spec_set_strict(const SpecMutation& self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kSetStrictParams, args, nargs, kwnames, a)) return nullptr;
    Tri strict = Tri::Unset;
    if (a[0] != Py_None) {
        bool b;
        if (!py::arg_bool("strict", a[0], b)) return nullptr;
        strict = tri_from_bool(b);
    }
    self.replaces_whole();
    self->strict = strict;
    return py::new_ref(self.object());
}

int common_kind::noneable(SpecEngine& engine, bool is_noneable, bool none_default,
                          Detached& detached) {
    engine.is_noneable = is_noneable;
    if (engine.default_factory) return 0;
    if (is_noneable && none_default) {
        const int missing = is_missing(engine.default_value.get());
        if (missing < 0) return -1;
        if (missing) return store_unapplied(engine, Py_None, detached);
    } else if (!is_noneable && engine.default_value.get() == Py_None) {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return -1;
        return store_unapplied(engine, bridge->missing_value.get(), detached);
    }
    return 0;
}

py::Params<2> kNoneableParams{"noneable", {"is_noneable=True", "use_none_as_default=True"}, 2, 0};

// Held exclusively for the whole change, the kind's own steps included (an
// Enum's candidate list, a Union's candidates).
PyObject* spec_noneable(SpecScope self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    py::Args<2> a;
    if (!py::parse(kNoneableParams, args, nargs, kwnames, a)) return nullptr;
    bool is_noneable, none_default;
    if (!py::opt_bool("is_noneable", a[0], true, is_noneable) ||
        !py::opt_bool("use_none_as_default", a[1], true, none_default))
        return nullptr;
    Detached detached;
    {
        auto w = self.exclusive<py::Refuse::Mutation>();
        if (!w) return w.refusal();
        if (ops(*w).noneable(*w, is_noneable, none_default, detached) < 0) return nullptr;
    }
    return py::new_ref(self.object());
}

}  // namespace vesk::typing
