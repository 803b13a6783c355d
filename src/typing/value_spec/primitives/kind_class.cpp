#include "typing/value_spec/primitives/kind_class.hpp"

#include "py/args.hpp"
#include "typing/bridge.hpp"
#include "typing/memo.hpp"
#include "typing/value_spec/spec_base.hpp"

namespace vesk::typing::primitives {

bool convert_common(const CommonArgs& args, SpecCommon& out) {
    if (args.default_value) {
        out.default_value = py::Ref::borrow(args.default_value);
    } else {
        const TypingBridge* bridge = typing_bridge();
        if (!bridge) return false;
        out.default_value = bridge->missing_value;
    }
    out.default_factory = py::Ref::borrow(none_as_omitted(args.default_factory));
    out.transform = py::Ref::borrow(none_as_omitted(args.transform));
    if (!py::opt_bool("is_noneable", args.is_noneable, false, out.is_noneable) ||
        !py::opt_bool("frozen", args.frozen, false, out.frozen))
        return false;
    out.strict = Tri::Unset;
    if (PyObject* strict = none_as_omitted(args.strict)) {
        bool b = false;
        if (!py::arg_bool("strict", strict, b)) return false;
        out.strict = tri_from_bool(b);
    }
    return true;
}

PyObject* wrap_built(PyTypeObject* type, std::optional<SpecEngine> engine) {
    if (!engine) return nullptr;
    return wrap_engine(type, std::move(*engine)).release();
}

namespace detail {

namespace {

// A reference clone of `self`'s engine, read under a shared hold.
std::optional<SpecEngine> clone_held(PyObject* self) {
    py::SharedBorrow hold(spec_borrow(self));
    if (!hold.acquire()) return std::nullopt;
    return clone_ref(spec_engine(self));
}

py::Params<1> kDeepcopyParams{"__deepcopy__", {"memo"}, 1, 1};

}  // namespace

PyObject* copy_as(PyTypeObject* type, PyObject* self) {
    return wrap_built(type, clone_held(self));
}

PyObject* deepcopy_as(PyTypeObject* type, PyObject* self, PyObject* const* args,
                      Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kDeepcopyParams, args, nargs, kwnames, a)) return nullptr;
    PyObject* memo = a[0];

    py::Ref hit;
    int found = deepcopy_memo_hit(memo, self, hit);
    if (found < 0) return nullptr;
    if (found) {
        if (!PyObject_TypeCheck(hit.get(), type)) {
            PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                         Py_TYPE(hit.get())->tp_name, type->tp_name);
            return nullptr;
        }
        return hit.release();
    }

    // The shell is registered before the parts are copied, so a reference
    // back to `self` inside the default or the payload resolves to it.
    py::Ref shell = py::Ref::steal(wrap_built(type, clone_held(self)));
    if (!shell) return nullptr;
    if (deepcopy_memo_register(memo, self, shell.get()) < 0) return nullptr;

    std::optional<SpecEngine> copied;
    {
        py::SharedBorrow hold(spec_borrow(self));
        if (!hold.acquire()) return nullptr;
        copied = deep_clone(spec_engine(self), memo);
    }
    if (!copied) return nullptr;

    // Only the memo can reach the shell, so the exclusive hold is free
    // unless a hook of the deep copy took it; then the copy is refused
    // rather than replaced under a reader.
    SpecEngine replaced;  // released after the hold, outside it
    {
        py::ExclusiveBorrow store(spec_borrow(shell.get()));
        if (!begin_mutation(store)) return nullptr;
        replaced = std::exchange(spec_engine(shell.get()), std::move(*copied));
    }
    return shell.release();
}

PyObject* skip_user_transform_as(PyTypeObject* type, PyObject* self) {
    std::optional<SpecEngine> twin;
    {
        py::SharedBorrow hold(spec_borrow(self));
        if (!hold.acquire()) return nullptr;
        const SpecEngine& engine = spec_engine(self);
        if (!engine.transform) return py::new_ref(self);
        twin = clone_ref(engine);
    }
    twin->transform.reset();
    return wrap_built(type, std::move(twin));
}

}  // namespace detail

}  // namespace vesk::typing::primitives
