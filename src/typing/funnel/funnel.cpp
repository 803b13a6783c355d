#include "typing/funnel/funnel.hpp"

#include "py/named.hpp"
#include "typing/int_to_float.hpp"
#include "typing/shortcuts.hpp"
#include "topology/key_path.hpp"
#include "typing/markers.hpp"
#include "typing/value_spec/engine/apply.hpp"
#include "typing/funnel/container_fast_path.hpp"

#include <vector>

#ifdef VESK_TEST_SEAMS
namespace vesk::typing {
std::atomic<bool> SHORTCUTS_OFF{false};
std::atomic<bool> ADDED_RULES_OFF{false};
}
#endif

namespace vesk::typing::funnel {

namespace {

using Kind = FunnelOutcome::Kind;

FunnelOutcome outcome(Kind kind, py::Ref value = {}) { return {kind, std::move(value)}; }

bool holds(const std::vector<py::Ref>& classes, PyTypeObject* cls) noexcept {
    for (const py::Ref& c : classes)
        if (c.get() == reinterpret_cast<PyObject*>(cls)) return true;
    return false;
}

// The spec that validates values of exactly `cls`, or null.
PyObject* checker_for(const field::FieldMeta& meta, PyTypeObject* cls) noexcept {
    for (const auto& [c, spec] : meta.checked)
        if (c.get() == reinterpret_cast<PyObject*>(cls)) return spec.get();
    return nullptr;
}

// The constraint check of a native spec of exactly its kind's class, run
// in place of its `_validate` (which does the same under the same shared
// borrow). The check renders the path only to refuse: it runs first with no
// path, and only a refusal runs it again with the value's path for the
// message. 1 done (0 / -1 in `rc`), 0 not such a spec.
int native_validate(PyObject* spec, PyObject* value, PyObject* key, const FunnelCtx& ctx,
                    int& rc) {
    if (!is_spec(spec)) return 0;
    SpecRead held(spec);
    if (!held) {
        rc = -1;
        return 1;
    }
    const SpecEngine& engine = *held;
    PyTypeObject* native = ops(engine).py_class(engine.kind);
    if (!native) {
        rc = -1;
        return 1;
    }
    if (Py_TYPE(spec) != native) return 0;
    rc = validate(engine, value, nullptr);
    if (rc == 0 || ctx.no_path) return 1;
    PyErr_Clear();
    py::Ref path = topology::child_key_path(key, ctx.parent_path);
    rc = path ? validate(engine, value, path.get()) : -1;
    return 1;
}

// `spec._validate(path, value)`, the path built only now (None with
// `no_path`); the result is discarded. 0 or -1.
int run_validate(PyObject* spec, PyObject* value, PyObject* key, const FunnelCtx& ctx) {
    int rc = 0;
    if (native_validate(spec, value, key, ctx, rc)) return rc;
    py::Ref path = ctx.no_path ? py::Ref::borrow(Py_None)
                               : topology::child_key_path(key, ctx.parent_path);
    if (!path) return -1;
    return py::call_method<"_validate">(spec, path.get(), value) ? 0 : -1;
}

// A value of an Object candidate class: 1 accepted, 0 go on, -1 error.
int subclass_accepts(const field::FieldMeta& meta, PyObject* value, bool allow_partial) {
    if (meta.subclass.empty() || !holds(meta.subclass, Py_TYPE(value))) return 0;
    return object_accept(reinterpret_cast<PyObject*>(Py_TYPE(value)), value, allow_partial);
}

// The container fast path of an exactly native container value spec, under
// a shared hold released before the answer is used.
FunnelOutcome container_tier(PyObject* spec, PyObject* value, bool inplace) {
    if (!is_spec(spec)) return outcome(Kind::Deferred);
    py::Ref out;
    Shortcut s;
    {
        SpecRead engine(spec);
        if (!engine) return outcome(Kind::Error);
        ApplyOptions options;
        options.inplace = inplace;
        s = container_shortcut(*engine, spec, value, options, out);
    }
    switch (s) {
        case Shortcut::Error:
            return outcome(Kind::Error);
        case Shortcut::Accepted:
            return outcome(Kind::Wrap, std::move(out));
        case Shortcut::Undecided:
            break;
    }
    return outcome(Kind::Deferred);
}

}  // namespace

FunnelOutcome funnel_leaf(PyObject* value, const field::FieldMeta& meta) {
    if (shortcuts_off()) return outcome(Kind::Deferred);
    if (meta.accept_any || holds(meta.exact, Py_TYPE(value))) return outcome(Kind::Verbatim);
    if (meta.widen_to_float && Py_TYPE(value) == &PyLong_Type) {
        py::Ref widened = int_to_float(value);
        if (!widened) return outcome(Kind::Error);
        return outcome(Kind::Produced, std::move(widened));
    }
    return outcome(Kind::Deferred);
}

FunnelOutcome funnel_accept(PyObject* value, const field::FieldMeta& meta, PyObject* key,
                            const FunnelCtx& ctx) {
    if (shortcuts_off()) return outcome(Kind::Deferred);
    FunnelOutcome leaf = funnel_leaf(value, meta);
    switch (leaf.kind) {
        case Kind::Produced: {
            if (PyObject* spec = checker_for(meta, Py_TYPE(leaf.value.get())))
                if (run_validate(spec, leaf.value.get(), key, ctx) < 0)
                    return outcome(Kind::Error);
            return leaf;
        }
        case Kind::Deferred:
            break;
        default:
            return leaf;
    }
    if (PyObject* spec = checker_for(meta, Py_TYPE(value))) {
        if (run_validate(spec, value, key, ctx) < 0) return outcome(Kind::Error);
        return outcome(Kind::Verbatim);
    }
    const int object = subclass_accepts(meta, value, ctx.allow_partial);
    if (object < 0) return outcome(Kind::Error);
    if (object) return outcome(Kind::Verbatim);
    if (!meta.wrap || !meta.value_spec) return outcome(Kind::Deferred);
    return container_tier(meta.value_spec.get(), value, ctx.inplace);
}

bool funnel_claims(PyObject* value, const field::FieldMeta& meta) noexcept {
    if (shortcuts_off()) return false;
    PyTypeObject* type = Py_TYPE(value);
    return meta.accept_any || holds(meta.exact, type) ||
           (meta.widen_to_float && type == &PyLong_Type) || checker_for(meta, type) != nullptr;
}

bool leaf_needs_check(const field::FieldMeta& meta, PyObject* produced) noexcept {
    return checker_for(meta, Py_TYPE(produced)) != nullptr;
}

int object_accept(PyObject* cls, PyObject* value, bool allow_partial) {
    if (Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(cls)) return 0;
    if (allow_partial) return 1;
    const int maybe = is_maybe_partial(value);
    if (maybe <= 0) return maybe < 0 ? -1 : 1;
    const int partial = read_sym_partial(value);
    return partial < 0 ? -1 : !partial;
}

}  // namespace vesk::typing::funnel
