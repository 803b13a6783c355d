#include "formatting/bridge.hpp"

#include "py/args.hpp"
#include "py/named.hpp"

namespace vesk::formatting {

namespace {

enum : Py_ssize_t { kStrFormat, kReprFormat, kOuterMarkdownActive };

py::Params kInstallParams{
    "_install_formatting_bridge", {"str_format", "repr_format", "outer_markdown_active"}, 3, 3};

// factory(markdown=False).__enter__(); returns the scope object.
py::Ref enter_scope(PyObject* factory) {
    PyObject* markdown[] = {Py_False};
    py::Ref scope = py::call_kw<"markdown">(factory, markdown);
    if (!scope || !py::call_method<"__enter__">(scope.get())) return {};
    return scope;
}

// scope.__exit__(type, value, traceback); its outcome is ignored.
void exit_scope(PyObject* scope, PyObject* type, PyObject* value, PyObject* traceback) noexcept {
    if (!py::call_method<"__exit__">(scope, type, value, traceback)) PyErr_Clear();
}

}  // namespace

PyObject* install_formatting_bridge(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
    py::Args<3> a;
    if (!py::parse(kInstallParams, args, nargs, kwnames, a)) return nullptr;
    if (!BRIDGE.is_set()) {
        py::Ref table = py::Ref::steal(PyTuple_Pack(3, a[0], a[1], a[2]));
        if (!table) return nullptr;
        BRIDGE.set(std::move(table));  // a concurrent first install may win instead
    }
    return py::none();
}

bool MarkdownSuppression::enter() {
    PyObject* bridge = BRIDGE.get();
    if (!bridge) return true;
    py::Ref active =
        py::Ref::steal(PyObject_CallNoArgs(PyTuple_GET_ITEM(bridge, kOuterMarkdownActive)));
    if (!active) return false;
    const int on = PyObject_IsTrue(active.get());
    if (on <= 0) return on == 0;

    py::Ref str_scope = enter_scope(PyTuple_GET_ITEM(bridge, kStrFormat));
    if (!str_scope) return false;
    py::Ref repr_scope = enter_scope(PyTuple_GET_ITEM(bridge, kReprFormat));
    if (!repr_scope) {
        // Leave the first scope as a `with` block would, so the package's
        // markdown state is never left switched off.
        PyObject* exc = PyErr_GetRaisedException();
        PyObject* tb = exc ? PyException_GetTraceback(exc) : nullptr;
        exit_scope(str_scope.get(), exc ? reinterpret_cast<PyObject*>(Py_TYPE(exc)) : Py_None,
                   exc ? exc : Py_None, tb ? tb : Py_None);
        py::Ref tb_ref = py::Ref::steal(tb);
        PyErr_SetRaisedException(exc);
        return false;
    }
    str_scope_ = std::move(str_scope);
    repr_scope_ = std::move(repr_scope);
    return true;
}

void MarkdownSuppression::exit() noexcept {
    if (!str_scope_) return;
    PyObject* pending = PyErr_GetRaisedException();
    exit_scope(repr_scope_.get(), Py_None, Py_None, Py_None);
    exit_scope(str_scope_.get(), Py_None, Py_None, Py_None);
    repr_scope_.reset();
    str_scope_.reset();
    PyErr_SetRaisedException(pending);
}

}  // namespace vesk::formatting
