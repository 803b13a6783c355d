#include "typing/value_spec/utilities/texts.hpp"

#include "py/args.hpp"
#include "py/lazy.hpp"
#include "topology/key_path.hpp"
#include "topology/path_text.hpp"

namespace vesk::typing {

py::Ref path_text_of(PyObject* path, NoPath absent) {
    if (!path || path == Py_None)
        return py::Ref::steal(absent == NoPath::Empty ? PyUnicode_FromStringAndSize("", 0)
                                                      : PyUnicode_FromString("None"));
    py::Ref text = py::Ref::steal(PyObject_Str(path));
    if (text || !topology::is_key_path(path) || !PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
        return text;
    // A key holding a lone surrogate has no text of its own; the message
    // names it escaped rather than failing in place of the real error.
    PyErr_Clear();
    return topology::render_escaped(topology::keys_of(path));
}

py::Ref message_on_path(PyObject* message, PyObject* path_text) {
    return py::Ref::steal(PyUnicode_FromFormat("%S (path=%S)", message, path_text));
}

py::Ref message_on_path(const char* message, PyObject* path_text) {
    return py::Ref::steal(PyUnicode_FromFormat("%s (path=%S)", message, path_text));
}

py::Ref py_repr(PyObject* obj) { return py::Ref::steal(PyObject_Repr(obj)); }

py::Ref wrap_transform_error(PyObject* caught, PyObject* path_text) {
    py::Ref text = py::Ref::steal(PyObject_Str(caught));
    py::Ref message = text ? message_on_path(text.get(), path_text) : py::Ref();
    py::Ref made = message ? py::Ref::steal(PyObject_CallOneArg(
                                 reinterpret_cast<PyObject*>(Py_TYPE(caught)), message.get()))
                           : py::Ref();
    if (!made || !PyExceptionInstance_Check(made.get())) {
        // The class cannot be made from one message: the caller's own failure
        // is what the user needs to see, not the re-creation error.
        PyErr_Clear();
        return py::Ref::borrow(caught);
    }
    PyException_SetCause(made.get(), py::new_ref(caught));
    return made;
}

int regex_pattern_str(PyObject* regex, py::Ref& out) {
    if (!regex || regex == Py_None) return 0;
    py::Ref pattern = py::get_attr<"pattern">(regex);
    if (!pattern || !py::arg_str("pattern", pattern.get())) return -1;
    out = std::move(pattern);
    return 1;
}

}  // namespace vesk::typing
