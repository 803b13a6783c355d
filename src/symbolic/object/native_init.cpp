#include "symbolic/object/native_init.hpp"

#include "kernel/slot_failure.hpp"
#include "py/args.hpp"
#include "py/lazy.hpp"
#include "symbolic/errors.hpp"
#include "symbolic/object/bridge.hpp"
#include "symbolic/object/construct.hpp"
#include "symbolic/object/object_state.hpp"

namespace vesk::symbolic::object {

namespace {

// Removes the keyword `Name` from `kwargs`; a None value counts as absent.
template <py::Literal Name>
int pop_given(PyObject* kwargs, py::Ref& out) {
    PyObject* key;
    if (!py::intern<Name>(key)) return -1;
    const int r = pop_kw(kwargs, key, out);
    if (r > 0 && out.get() == Py_None) {
        out.reset();
        return 0;
    }
    return r;
}

// What `SymObject.__init__` does with the remaining keywords: takes out
// and checks `allow_partial`, then runs the construction core.
int construct_from_keywords(ConstructRequest& request) {
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
    return construct(request);
}

// Raises what the bridge's `prepare_construct_error` makes of the pending
// failure (or the failure of that call). An internal failure is no
// construct error: it stays as it is, for the slot to report.
int wrap_construct_error() {
    if (kernel::internal_failure_pending()) return -1;
    py::Ref failure = py::Ref::steal(PyErr_GetRaisedException());
    if (!failure) return -1;
    const ObjectBridge* b = object_bridge();
    if (!b) return -1;
    py::Ref made =
        py::Ref::steal(PyObject_CallOneArg(b->prepare_construct_error.get(), failure.get()));
    if (made) raise_made(made.get());
    return -1;
}

}  // namespace

int native_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    PyTypeObject* type = sym_object_type();
    if (!type || !py::expect_instance(self, type)) return -1;
    if (defer_positional_to_python_init(self, args, kwargs, "native tp_init") != 0) return -1;
    ConstructRequest request;
    request.self = self;
    if (!kwargs) return construct(request) < 0 ? wrap_construct_error() : 0;
    if (!PyDict_Check(kwargs)) {
        py::raise_not_instance(kwargs, "dict");
        return -1;
    }
    py::Ref sealed, root_path, explicit_init;
    if (pop_given<"sealed">(kwargs, sealed) < 0) return -1;
    if (sealed) {
        bool b = false;
        if (!py::arg_bool_scalar("sealed", sealed.get(), b)) return -1;
        request.sealed = b ? SealedArg::Yes : SealedArg::No;
    }
    if (pop_given<"root_path">(kwargs, root_path) < 0 ||
        pop_given<"explicit_init">(kwargs, explicit_init) < 0)
        return -1;
    if (explicit_init && !py::arg_bool_scalar("explicit_init", explicit_init.get(),
                                              request.explicit_init))
        return -1;
    request.root_path = root_path.get();
    request.kwargs = kwargs;
    return construct_from_keywords(request) < 0 ? wrap_construct_error() : 0;
}

}  // namespace vesk::symbolic::object
