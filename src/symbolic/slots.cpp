#include "symbolic/slots.hpp"

#include "py/critical_section.hpp"

namespace vesk::symbolic {

int dict_read_slot(PyObject* storage, SlotKey slot, py::Ref& out) {
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(storage, slot.key, &found) < 0) return -1;
    out = py::Ref::steal(found);
    return 0;
}

StoreOutcome dict_store_if(PyObject* storage, SlotKey slot, PyObject* expected, PyObject* value,
                           py::Ref& now) {
    // `now` outlives the section: releasing what was replaced may run a
    // finaliser.
    py::CriticalSection guard(storage);
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(storage, slot.key, &found) < 0) return StoreOutcome::Error;
    now = py::Ref::steal(found);
    if (!store_expects(now.get(), expected, value)) return StoreOutcome::Changed;
    if (!value && !now) return StoreOutcome::Done;
    const int r =
        value ? PyDict_SetItem(storage, slot.key, value) : PyDict_DelItem(storage, slot.key);
    return r < 0 ? StoreOutcome::Error : StoreOutcome::Done;
}

int list_read_slot(PyObject* storage, SlotKey slot, py::Ref& out) {
    out = py::list_item(storage, slot.pos);
    return 0;
}

StoreOutcome list_store_if(PyObject* storage, SlotKey slot, PyObject* expected, PyObject* value,
                           py::Ref& now) {
    py::CriticalSection guard(storage);
    const bool inside = slot.pos >= 0 && slot.pos < PyList_GET_SIZE(storage);
    now = inside ? py::Ref::borrow(PyList_GET_ITEM(storage, slot.pos)) : py::Ref();
    if (!store_expects(now.get(), expected, value)) return StoreOutcome::Changed;
    if (!inside) {
        if (!value) return StoreOutcome::Done;
        PyErr_SetString(PyExc_IndexError, "list index out of range");
        return StoreOutcome::Error;
    }
    if (value) {
        if (PyList_SetItem(storage, slot.pos, py::Ref::borrow(value).release()) < 0)
            return StoreOutcome::Error;
    } else if (PyList_SetSlice(storage, slot.pos, slot.pos + 1, nullptr) < 0) {
        return StoreOutcome::Error;
    }
    return StoreOutcome::Done;
}

}  // namespace vesk::symbolic
