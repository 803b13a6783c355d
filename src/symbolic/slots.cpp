#include "symbolic/slots.hpp"

#include "py/critical_section.hpp"

namespace vesk::symbolic {

int dict_read_slot(PyObject* storage, SlotKey slot, py::Ref& out) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(storage, slot.key, &found) < 0) return -1;
    out = py::Ref::steal(found);
    return 0;
}

int list_read_slot(PyObject* storage, SlotKey slot, py::Ref& out) {
    out.reset();
    py::CriticalSection section(storage);
    const Py_ssize_t pos = slot.at(PyList_GET_SIZE(storage));
    if (pos >= 0 && pos < PyList_GET_SIZE(storage))
        out = py::Ref::borrow(PyList_GET_ITEM(storage, pos));
    return 0;
}

}  // namespace vesk::symbolic
