#include "typing/memo.hpp"

#include "py/named.hpp"

namespace vesk::typing {

namespace {

// id(obj): the key the standard `copy` module uses.
py::Ref id_of(PyObject* obj) { return py::Ref::steal(PyLong_FromVoidPtr(obj)); }

}  // namespace

int deepcopy_memo_hit(PyObject* memo, PyObject* source, py::Ref& copy) {
    if (!memo || !PyDict_Check(memo)) return 0;
    py::Ref key = id_of(source);
    if (!key) return -1;
    PyObject* found = nullptr;
    const int r = PyDict_GetItemRef(memo, key.get(), &found);
    copy = py::Ref::steal(found);
    return r;
}

int deepcopy_memo_hit_of(PyObject* memo, PyObject* source, PyTypeObject* type,
                         const char* name, py::Ref& copy) {
    const int found = deepcopy_memo_hit(memo, source, copy);
    if (found <= 0 || PyObject_TypeCheck(copy.get(), type)) return found;
    PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to '%s'",
                 Py_TYPE(copy.get())->tp_name, name);
    copy.reset();
    return -1;
}

int deepcopy_memo_register(PyObject* memo, PyObject* source, PyObject* copy) {
    if (!memo || !PyDict_Check(memo)) return 0;
    py::Ref key = id_of(source);
    if (!key || PyDict_SetItem(memo, key.get(), copy) < 0) return -1;

    // The sources stay alive while the copy runs, so their ids are not reused
    // by objects made meanwhile.
    py::Ref memo_key = id_of(memo);
    if (!memo_key) return -1;
    PyObject* found = nullptr;
    int r = PyDict_GetItemRef(memo, memo_key.get(), &found);
    py::Ref keep_alive = py::Ref::steal(found);
    if (r < 0) return -1;
    if (r == 0) {
        py::Ref fresh = py::Ref::steal(PyList_New(1));
        if (!fresh) return -1;
        PyList_SET_ITEM(fresh.get(), 0, py::new_ref(source));
        r = PyDict_SetDefaultRef(memo, memo_key.get(), fresh.get(), &found);
        keep_alive = py::Ref::steal(found);
        if (r <= 0) return r;  // stored (0) or failed (-1)
        // Another writer stored a list first: append to that one.
    }
    return py::call_method<"append">(keep_alive.get(), source) ? 0 : -1;
}

}  // namespace vesk::typing
