#include "typing/json_form.hpp"

#include "typing/bridge.hpp"
#include "typing/value_spec/from_json.hpp"

namespace vesk::typing {

bool JsonWriter::start(const py::ExtraKeywords& extra, const char* serialization_key) {
    kwargs_ = json_kwargs(extra);
    out_ = py::Ref::steal(PyDict_New());
    py::Ref type_key = py::Ref::steal(PyUnicode_FromString(serialization_key));
    return kwargs_ && out_ && type_key && set_raw("_type", type_key.get());
}

bool JsonWriter::set(const char* name, PyObject* value) {
    py::Ref json = call_to_json(value, kwargs_.get());
    return json && set_raw(name, json.get());
}

bool JsonWriter::set_raw(const char* name, PyObject* value) {
    return PyDict_SetItemString(out_.get(), name, value) == 0;
}

bool JsonNesting::enter(const char* what) noexcept {
    if (depth_ >= kLimit) {
        PyErr_Format(PyExc_ValueError,
                     "%s json is nested too deeply: more than %d fields and schemas inside each "
                     "other.",
                     what, kLimit);
        return false;
    }
    ++depth_;
    entered_ = true;
    return true;
}

}  // namespace vesk::typing
