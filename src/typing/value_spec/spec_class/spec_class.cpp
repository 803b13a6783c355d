// What the spec-class template generates calls into: the common options and
// the shared members, written once for every class.
#include "typing/value_spec/spec_class/spec_class.hpp"

#include "typing/bridge.hpp"
#include "typing/memo.hpp"

namespace vesk::typing {

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

namespace spec_members {

py::Params<0> kCopyParams{"__copy__"};
py::Params<1> kDeepcopyParams{"__deepcopy__", {"memo"}, 1, 1};
py::Params<1> kFromJsonParams{"from_json", {"json_value"}, 1, 1, py::Keywords::Collect};

namespace {

// A reference clone of the spec's engine, read under a shared hold that
// ends before the clone is wrapped.
std::optional<SpecEngine> clone_shared(SpecScope self) {
    auto r = self.shared();
    if (!r) return std::nullopt;
    return clone_ref(*r);
}

}  // namespace

PyObject* copy(PyTypeObject* type, SpecScope self) { return wrap_built(type, clone_shared(self)); }

PyObject* deepcopy(PyTypeObject* type, SpecScope self, PyObject* memo) {
    py::Ref hit;
    const int found = deepcopy_memo_hit(memo, self.object(), hit);
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
    // back to this spec inside the default or the payload resolves to it.
    py::Ref shell = py::Ref::steal(wrap_built(type, clone_shared(self)));
    if (!shell) return nullptr;
    if (deepcopy_memo_register(memo, self.object(), shell.get()) < 0) return nullptr;

    std::optional<SpecEngine> copied;
    {
        auto r = self.shared();
        if (!r) return r.refusal();
        copied = deep_clone(*r, memo);
    }
    if (!copied) return nullptr;

    // Only the memo can reach the shell, so its exclusive hold is free
    // unless a hook of the deep copy took it; then the copy is refused
    // rather than replaced under a reader.
    SpecEngine replaced;  // released after the hold
    {
        SpecMutation store(shell.get());
        if (!store) return store.refusal();
        replaced = std::exchange(*store, std::move(*copied));
    }
    return shell.release();
}

PyObject* skip_user_transform(PyTypeObject* type, SpecScope self) {
    std::optional<SpecEngine> twin;
    {
        auto r = self.shared();
        if (!r) return r.refusal();
        if (!r->transform) return py::new_ref(self.object());
        twin = clone_ref(*r);
    }
    twin->transform.reset();
    return wrap_built(type, std::move(twin));
}

PyObject* from_json(PyTypeObject* type, JsonReader read, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames) {
    py::Args<1> a;
    if (!py::parse(kFromJsonParams, args, nargs, kwnames, a)) return nullptr;
    py::Ref kwargs = json_kwargs(a.extra());
    if (!kwargs) return nullptr;
    return wrap_built(type, base_from_json(read, a[0], kwargs.get()));
}

}  // namespace spec_members

}  // namespace vesk::typing
