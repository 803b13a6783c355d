#include "formatting/kw_frame.hpp"

namespace vesk::formatting {

bool KwFrame::build(PyObject* names, PyObject* const* values, Py_ssize_t split,
                    const py::ExtraKeywords& extra) {
    const Py_ssize_t n = PyTuple_GET_SIZE(names);
    const auto n_extra = static_cast<Py_ssize_t>(extra.size());
    stack_.clear();
    stack_.reserve(static_cast<std::size_t>(2 + n + n_extra));
    stack_.push_back(nullptr);
    stack_.push_back(nullptr);
    for (Py_ssize_t i = 0; i < split; ++i) stack_.push_back(values[i]);
    for (const auto& kw : extra) stack_.push_back(kw.value);
    for (Py_ssize_t i = split; i < n; ++i) stack_.push_back(values[i]);

    if (extra.empty()) {
        kwnames_ = py::Ref::borrow(names);
        return true;
    }
    kwnames_ = py::Ref::steal(PyTuple_New(n + n_extra));
    if (!kwnames_) return false;
    Py_ssize_t j = 0;
    auto put = [&](PyObject* name) { PyTuple_SET_ITEM(kwnames_.get(), j++, py::new_ref(name)); };
    for (Py_ssize_t i = 0; i < split; ++i) put(PyTuple_GET_ITEM(names, i));
    for (const auto& kw : extra) put(kw.name);
    for (Py_ssize_t i = split; i < n; ++i) put(PyTuple_GET_ITEM(names, i));
    return true;
}

py::Ref KwFrame::call(PyObject* fn, PyObject* arg) {
    stack_[1] = arg;
    return py::Ref::steal(
        PyObject_Vectorcall(fn, stack_.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_.get()));
}

py::Ref KwFrame::call_method(PyObject* self, PyObject* name) {
    stack_[1] = self;
    return py::Ref::steal(PyObject_VectorcallMethod(
        name, stack_.data() + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames_.get()));
}

}  // namespace vesk::formatting
