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
    out = py::list_item(storage, slot.pos);
    return 0;
}

}  // namespace vesk::symbolic
